// The host's signal handling.
//
// The handlers of the stop, reconfiguration and debug-toggle signals do only async-signal-safe
// work: they note the signal and the receiving thread's name in a pipe. The reactor reads the
// pipe in its event loop and there logs and acts, so logging, the reactor and the Service
// Configurator are never entered from signal context. A note that does not fit into the pipe
// is kept in a counter, so no signal is lost. The fatal-signal handler is the one exception: it
// logs its stack trace in signal context, since the process is dying anyway.
#include "starter/signals.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include <ace/ACE.h>
#include <ace/Event_Handler.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Signal.h>

#include "scrt/log_macros.h"
#include "starter/reload.h"
#include "starter/systemd_handler.h"


typedef int (*pthread_getname_np_t)(pthread_t, char*, size_t);

/// Set once the first stop signal has ended the event loop; never reset.
static volatile sig_atomic_t finished = 0;
/// pthread_getname_np where the system has it, looked up at run time.
static pthread_getname_np_t pthread_getname = 0;
/// The relay pipe: handlers write to [1], the reactor reads [0]. Never closed, so that a late
/// signal can never write into a descriptor number that has been reused.
static int signal_pipe[2] = {-1, -1};
/// Signals whose note did not fit into the pipe, by number.
static volatile sig_atomic_t overflow[NSIG];
/// The signal the Service Configurator's "-s" names for reconfiguration, 0 when none.
static int reconfig_signo = 0;

/// What a handler hands to the event loop: at most PIPE_BUF bytes, so one write is atomic.
struct Signal_Note
{
  int signo;
  char thread_name[16];
};

/// Fills @a name with the calling thread's name, or "unknown".
static void get_thread_name(char (&name)[16])
{
  static const char unknown[16] = "unknown";
  ACE_OS::memcpy(name, unknown, sizeof name);
  if (pthread_getname != 0)
    (void)pthread_getname(ACE_OS::thr_self(), name, sizeof name);
}

/// Async-signal-safe: notes @a signo for the event loop.
static void post_signal(int signo)
{
  int const saved = errno;
  Signal_Note note;
  note.signo = signo;
  get_thread_name(note.thread_name);
  if (signal_pipe[1] < 0 || ::write(signal_pipe[1], &note, sizeof note) != sizeof note)
    overflow[signo] = overflow[signo] + 1;
  errno = saved;
}

static void sig_terminate(int signo)
{
  post_signal(signo);
}

static void sig_reconfig(int signo)
{
  post_signal(signo);
}

static void sig_usr2(int signo)
{
  post_signal(signo);
}

static void sig_abnormal_terminate(int signo)
{
  char thread_name[16];
  get_thread_name(thread_name);
  SCRT_LOG(0, (LM_ALERT, "Signal %d (%s) caught in [%s], the back trace:\n%?.\n", signo,
               strsignal(signo), thread_name));
  // Die by the same signal: supervisors then see a crash, and a core can be written.
  ::signal(signo, SIG_DFL);
  ::raise(signo);
}

// The work of the deferred handlers, run by the event loop.

static void on_stop(int signo, const char* thread_name)
{
  SCRT_LOG(0, (LM_INFO, "Signal %d (%s) caught in [%s].\n", signo, strsignal(signo), thread_name));
  if (finished == 0 && ACE_Reactor::instance()->reactor_event_loop_done() == 0) {
    finished = 1;
    ACE_Reactor::instance()->end_reactor_event_loop();
    Systemd_Handler::notify("STOPPING=1\n");
  }
}

static void on_reconfig(int signo)
{
  SCRT_LOG(0, (LM_INFO, "Signal %d (%s) caught, and reconfiguring ... \n", signo, strsignal(signo)));
  reload_services();
}

static void on_usr2()
{
  bool const on = ACE::debug();
  SCRT_LOG(0, (LM_INFO, "%s ACE::debug.\n", on ? "Disable" : "Enable"));
  ACE::debug(!on);
}

/// Acts on one noted signal. With @a stopping, the services are going away: only stops are
/// still logged.
static void dispatch_signal(int signo, const char* thread_name, bool stopping)
{
  if (signo == SIGINT || signo == SIGQUIT || signo == SIGTERM)
    on_stop(signo, thread_name);
  else if (stopping)
    return;
  else if (signo == SIGUSR2)
    on_usr2();
  else if (signo == SIGHUP || signo == reconfig_signo)
    on_reconfig(signo);
}

/// Acts on every signal noted so far, overflowed ones included.
static void drain_signals(bool stopping)
{
  Signal_Note note;
  for (;;) {
    ssize_t const n = ::read(signal_pipe[0], &note, sizeof note);
    if (n == static_cast<ssize_t>(sizeof note)) {
      note.thread_name[sizeof note.thread_name - 1] = 0;
      dispatch_signal(note.signo, note.thread_name, stopping);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  for (int s = 1; s < NSIG; ++s)
    for (; overflow[s] > 0; overflow[s] = overflow[s] - 1)
      dispatch_signal(s, "unknown", stopping);
}

/**
 * @class Signal_Relay
 *
 * @brief Reads the notes of the signal handlers in the event loop and acts on them.
 */
class Signal_Relay : public ACE_Event_Handler
{
public:
  ACE_HANDLE get_handle() const override { return signal_pipe[0]; }
  int handle_input(ACE_HANDLE) override
  {
    drain_signals(false);
    return 0;
  }
};

/// Lives for the whole process: ACE's reactor may still refer to it while it shuts down.
static Signal_Relay* signal_relay = 0;

/// Installs the host's dispositions, one action per group of signals.
static void install_dispositions()
{
  ACE_Sig_Set sset(false);
  sset.sig_add(SIGINT);
  sset.sig_add(SIGQUIT);
  sset.sig_add(SIGTERM);
  ACE_Sig_Action term_action(sset, sig_terminate, 0, 0);
  sset.empty_set();

  sset.sig_add(SIGILL);
  sset.sig_add(SIGSEGV);
  sset.sig_add(SIGFPE);
  sset.sig_add(SIGALRM);
  sset.sig_add(SIGXCPU);
  sset.sig_add(SIGBUS);
  sset.sig_add(SIGABRT);
  ACE_Sig_Action abnormal_term_action(sset, sig_abnormal_terminate, 0, 0);
  sset.empty_set();

  sset.sig_add(SIGHUP);
  ACE_Sig_Action reconfig_action(sset, sig_reconfig, 0, 0);
  sset.empty_set();

  sset.sig_add(SIGUSR2);
  ACE_Sig_Action toggle_debug_action(sset, sig_usr2, 0, 0);
  sset.empty_set();

  sset.sig_add(SIGPIPE);
  sset.sig_add(SIGIO);
  sset.sig_add(SIGURG);
  ACE_Sig_Action ignore_action(sset, ACE_SignalHandler(SIG_IGN), 0, 0);
}

/// Installs the dispositions of the host's signals, with the handlers above, and the relay
/// that carries the deferred ones to the event loop.
void init_signal_handlers()
{
  // The platform's dlsym: ACE's wrapper takes a null handle for an invalid one and finds
  // nothing, while the default global scope is exactly what is wanted here.
  pthread_getname = reinterpret_cast<pthread_getname_np_t>(::dlsym(RTLD_DEFAULT, "pthread_getname_np"));

  if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) == 0) {
    // Room for thousands of notes; a storm beyond that falls back to the overflow counters.
    (void)::fcntl(signal_pipe[1], F_SETPIPE_SZ, 1 << 20);
    signal_relay = new (std::nothrow) Signal_Relay;
  }
  if (signal_relay == 0 ||
      ACE_Reactor::instance()->register_handler(signal_relay, ACE_Event_Handler::READ_MASK) == -1)
    SCRT_LOG(-1, (LM_ERROR, "Failed to set up the signal relay, errno=%d, %m\n", ACE_OS::last_error()));

  install_dispositions();
}

/// Whether @a signo is one the host already has a disposition for.
static bool is_host_signal(int signo)
{
  static const int host_signals[] = {SIGINT,  SIGQUIT, SIGTERM, SIGILL,  SIGSEGV, SIGFPE,
                                     SIGALRM, SIGXCPU, SIGBUS,  SIGABRT, SIGHUP,  SIGUSR2,
                                     SIGPIPE, SIGIO,   SIGURG};
  for (int s : host_signals)
    if (s == signo)
      return true;
  return false;
}

/// The "-s" signal when the host reconfigures on it besides SIGHUP; 0 when there is none, or
/// when it names a signal the host already gives another meaning.
static int extra_reconfig_signal()
{
  int const signo = reconfig_signo;
  if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP || is_host_signal(signo))
    return 0;
  return signo;
}

/// The Service Configurator installs its own reconfiguration handler (for SIGHUP, or the
/// signal "-s" names) when it opens, and that handler only sets a flag nobody reads. The
/// host's dispositions are put back, so SIGHUP really reconfigures and a "-s" that names one
/// of the host's other signals cannot take it over (a fault would otherwise return into the
/// faulting code for ever); any other "-s" signal reconfigures as SIGHUP does.
void reassert_reconfig_handlers()
{
  install_dispositions();
  if (int const signo = extra_reconfig_signal()) {
    ACE_Sig_Set sset(false);
    sset.sig_add(signo);
    ACE_Sig_Action reconfig_action(sset, sig_reconfig, 0, 0);
  }
}

void set_reconfig_signal(int signo)
{
  reconfig_signo = signo;
}

void host_async_signals(sigset_t& set)
{
  static const int signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR2};
  sigemptyset(&set);
  for (int s : signals)
    sigaddset(&set, s);
  // Never a fault: blocked in the thread that faults, it would kill the host without a word.
  if (int const r = extra_reconfig_signal())
    sigaddset(&set, r);
}

void close_signal_relay()
{
  drain_signals(true);
  if (signal_relay != 0)
    ACE_Reactor::instance()->remove_handler(signal_relay,
                                            ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
}
