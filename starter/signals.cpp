// The host's signal handling.
//
// The handlers of the stop, reconfiguration and debug-toggle signals do only async-signal-safe
// work: they note the signal and the receiving thread's name in a pipe, and a stop also arms
// the stop deadline. The reactor reads the pipe in its event loop and there logs and hands the
// signal on, so logging, the reactor and the Service Configurator are never entered from
// signal context. A note that does not fit into the pipe is kept in a lock-free counter, so no
// signal is lost. The state below is file-level because the handlers must reach it. The
// handlers of the fatal signals, and of the signals nobody handles, end the process in signal
// context with records prepared without ACE (last_words.h).
#include "starter/signals.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <string>

#include <ace/ACE.h>
#include <ace/Event_Handler.h>
#include <ace/Log_Msg.h>
#include <ace/Managed_Object.h>
#include <ace/Object_Manager.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Sig_Handler.h>
#include <ace/Signal.h>

#include "scrt/log_macros.h"
#include "starter/last_words.h"
#include "starter/stop_deadline.h"


typedef int (*pthread_getname_np_t)(pthread_t, char*, size_t);

/// pthread_getname_np where the system has it, looked up at run time.
static pthread_getname_np_t pthread_getname = 0;
/// The relay pipe: handlers write to [1], the reactor reads [0]. Never closed, so that a late
/// signal can never write into a descriptor number that has been reused.
static int signal_pipe[2] = {-1, -1};
/// Signals whose note did not fit into the pipe, by number: incremented in handlers, taken by
/// the loop, so the counters must be lock-free atomics.
static std::atomic<unsigned> overflow[NSIG];
static_assert(std::atomic<unsigned>::is_always_lock_free, "the signal handlers count in it");
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
    overflow[signo].fetch_add(1, std::memory_order_relaxed);
  errno = saved;
}

static void sig_terminate(int signo)
{
  post_signal(signo);
  arm_stop_deadline();
}

static void sig_reconfig(int signo)
{
  post_signal(signo);
}

static void sig_usr2(int signo)
{
  post_signal(signo);
}

/// A signal whose default action ends the process and that neither the host nor a service
/// handles: said, the files removed, then the death by it that the default action gives, so
/// the exit status still tells supervisors what happened.
static void sig_unhandled(int signo)
{
  die_of_unhandled_signal(signo);
}

/// A fault, an abort, or a signal the host reads as one: the crash record (last_words.h), on
/// the alternate stack, and SA_NODEFER so that a fault inside it reaches its guard.
static ACE_SignalHandler const sig_fatal =
    reinterpret_cast<ACE_SignalHandler>(reinterpret_cast<void (*)()>(die_of_fatal_signal));
static int const FATAL_FLAGS = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;

// The work of the deferred handlers, run by the event loop.

static void on_stop(Signal_Events& events, int signo, const char* thread_name)
{
  SCRT_LOG(0, (LM_INFO, "Signal %d (%s) caught in [%s].\n", signo, strsignal(signo), thread_name));
  events.on_stop_signal(signo);
}

static void on_reconfig(Signal_Events& events, int signo)
{
  SCRT_LOG(0, (LM_INFO, "Signal %d (%s) caught, and reconfiguring ... \n", signo, strsignal(signo)));
  events.on_reconfig_signal(signo);
}

static void on_usr2()
{
  bool const on = ACE::debug();
  SCRT_LOG(0, (LM_INFO, "%s ACE::debug.\n", on ? "Disable" : "Enable"));
  ACE::debug(!on);
}

/// Acts on one noted signal. With @a stopping, the services are going away: only stops are
/// still logged. Only the stop, debug-toggle and reconfiguration signals are ever noted, so any
/// other is a reconfiguration (SIGHUP, or the "-s" signal).
static void dispatch_signal(Signal_Events& events, int signo, const char* thread_name, bool stopping)
{
  if (signo == SIGINT || signo == SIGQUIT || signo == SIGTERM)
    on_stop(events, signo, thread_name);
  else if (stopping)
    return;
  else if (signo == SIGUSR2)
    on_usr2();
  else
    on_reconfig(events, signo);
}

/// Acts on every signal noted so far, overflowed ones included.
static void drain_signals(Signal_Events& events, bool stopping)
{
  // Notes are written whole (far below PIPE_BUF), so a read takes whole notes; a read that
  // finds fewer than it has room for has emptied the pipe, and one more that would find it
  // empty is spared (a stop costs one read of the pipe, not two). A note written after it
  // makes the pipe readable again, and the reactor calls back.
  Signal_Note notes[8];
  for (;;) {
    ssize_t const n = ::read(signal_pipe[0], notes, sizeof notes);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    size_t const count = static_cast<size_t>(n) / sizeof notes[0];
    for (size_t i = 0; i < count; ++i) {
      notes[i].thread_name[sizeof notes[i].thread_name - 1] = 0;
      dispatch_signal(events, notes[i].signo, notes[i].thread_name, stopping);
    }
    if (static_cast<size_t>(n) < sizeof notes)
      break;
  }
  for (int s = 1; s < NSIG; ++s)
    for (unsigned n = overflow[s].exchange(0, std::memory_order_relaxed); n > 0; --n)
      dispatch_signal(events, s, "unknown", stopping);
}

/**
 * @class Signal_Relay
 *
 * @brief Reads the notes of the signal handlers in the event loop and acts on them.
 */
class Signal_Relay : public ACE_Event_Handler
{
public:
  explicit Signal_Relay(Signal_Events& events) : events_(&events) {}
  ACE_HANDLE get_handle() const override { return signal_pipe[0]; }
  int handle_input(ACE_HANDLE) override
  {
    drain_signals(*events_, false);
    return 0;
  }
  /// Where the notes go; set once, by init_signal_handlers().
  Signal_Events* events_;
};

/// Lives for the whole process: ACE's reactor may still refer to it while it shuts down.
static Signal_Relay* signal_relay = 0;

/// The host's disposition of each of its signals. The relayed ones, and only they, restart
/// the calls they interrupt: a service's blocking call on the thread a signal lands on must
/// not fail with EINTR for a note written into a pipe.
struct Disposition
{
  int signo;
  ACE_SignalHandler handler;
  int flags;
};

static const Disposition host_dispositions[] = {
  {SIGINT, sig_terminate, SA_RESTART},
  {SIGQUIT, sig_terminate, SA_RESTART},
  {SIGTERM, sig_terminate, SA_RESTART},
  {SIGHUP, sig_reconfig, SA_RESTART},
  {SIGUSR2, sig_usr2, SA_RESTART},
  {SIGILL, sig_fatal, FATAL_FLAGS},
  {SIGSEGV, sig_fatal, FATAL_FLAGS},
  {SIGFPE, sig_fatal, FATAL_FLAGS},
  {SIGALRM, sig_fatal, FATAL_FLAGS},
  {SIGXCPU, sig_fatal, FATAL_FLAGS},
  {SIGBUS, sig_fatal, FATAL_FLAGS},
  {SIGABRT, sig_fatal, FATAL_FLAGS},
  {SIGTRAP, sig_fatal, FATAL_FLAGS},
  {SIGSYS, sig_fatal, FATAL_FLAGS},
  {SIGXFSZ, sig_fatal, FATAL_FLAGS},
  {SIGUSR1, sig_unhandled, 0},
  {SIGVTALRM, sig_unhandled, 0},
  {SIGPROF, sig_unhandled, 0},
  {SIGPWR, sig_unhandled, 0},
  {SIGSTKFLT, sig_unhandled, 0},
  {SIGPIPE, ACE_SignalHandler(SIG_IGN), 0},
  {SIGIO, ACE_SignalHandler(SIG_IGN), 0},
  {SIGURG, ACE_SignalHandler(SIG_IGN), 0},
};

/// The host's disposition of @a signo, or null when the host gives it no meaning of its own
/// (a signal it handles only to report the death it causes is free for "-s").
static const Disposition* host_disposition(int signo)
{
  for (const Disposition& d : host_dispositions)
    if (d.signo == signo && d.handler != sig_unhandled)
      return &d;
  return 0;
}

static void install(int signo, ACE_SignalHandler handler, int flags)
{
  ACE_Sig_Action const action(handler, signo, static_cast<sigset_t*>(0), flags);
}

bool init_signal_handlers(Signal_Events& events)
{
  // The platform's dlsym: ACE's wrapper takes a null handle for an invalid one and finds
  // nothing, while the default global scope is exactly what is wanted here.
  pthread_getname = reinterpret_cast<pthread_getname_np_t>(::dlsym(RTLD_DEFAULT, "pthread_getname_np"));

  const char* failed = 0;
  if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    failed = "its pipe";
  } else {
    // Room for thousands of notes; a storm beyond that falls back to the overflow counters.
    (void)::fcntl(signal_pipe[1], F_SETPIPE_SZ, 1 << 20);
    if (signal_relay == 0)
      signal_relay = new (std::nothrow) Signal_Relay(events);
    if (signal_relay == 0)
      failed = "its handler";
    else if (ACE_Reactor::instance()->register_handler(signal_relay, ACE_Event_Handler::READ_MASK) == -1)
      failed = "its registration with the reactor";
    else if (!init_stop_deadline())
      failed = "the stop deadline's timer";
  }
  if (failed != 0) {
    // Without the relay a stop signal could never end the loop.
    SCRT_LOG(-1, (LM_ERROR, "Failed to set up the signal relay (%s), errno=%d, %m: refusing to "
                            "start\n", failed, ACE_OS::last_error()));
    return false;
  }
  for (const Disposition& d : host_dispositions)
    install(d.signo, d.handler, d.flags);
  // The real-time signals but the stop deadline's; the C library keeps those below SIGRTMIN.
  for (int signo = SIGRTMIN; signo < SIGRTMAX; ++signo)
    install(signo, sig_unhandled, 0);
  return true;
}

/// The "-s" signal @a signo when the host reconfigures on it besides SIGHUP; 0 when there is
/// none, or when it names a signal the host already gives another meaning.
static int extra_reconfig_signal(int signo)
{
  if (signo <= 0 || signo >= NSIG || signo == SIGKILL || signo == SIGSTOP || host_disposition(signo) != 0)
    return 0;
  return signo;
}

/// The Service Configurator installs its own reconfiguration handler (for SIGHUP, or the
/// signal "-s" names) when it opens, and that handler only sets a flag nobody reads. Exactly
/// those signals are put back, so SIGHUP really reconfigures and a "-s" that names one of the
/// host's other signals cannot take it over (a fault would otherwise return into the faulting
/// code for ever); any other "-s" signal reconfigures as SIGHUP does. What the services
/// installed for other signals while they opened stays theirs. A signal the Configurator's
/// handler took meanwhile is handed on as a note, so it is carried out once the loop runs.
void reassert_reconfig_handlers(int signo)
{
  const Disposition* const hup = host_disposition(SIGHUP);
  install(SIGHUP, hup->handler, hup->flags);
  if (const Disposition* const d = host_disposition(signo))
    install(signo, d->handler, d->flags);
  else if (extra_reconfig_signal(signo) != 0)
    install(signo, sig_reconfig, SA_RESTART);
  if (ACE_Service_Config::reconfig_occurred() != 0) {
    ACE_Service_Config::reconfig_occurred(0);
    post_signal(signo > 0 && signo < NSIG ? signo : SIGHUP);
  }
}

void host_async_signals(sigset_t& set, int reconfig_signo)
{
  sigemptyset(&set);
  for (const Disposition& d : host_dispositions)
    if (d.flags & SA_RESTART)  // relayed
      sigaddset(&set, d.signo);
  // Never a fault: blocked in the thread that faults, it would kill the host without a word.
  if (int const r = extra_reconfig_signal(reconfig_signo))
    sigaddset(&set, r);
}

void relay_pending_signals(const sigset_t& blocked)
{
  timespec const now = {0, 0};
  for (int signo; (signo = ::sigtimedwait(&blocked, 0, &now)) > 0;) {
    const Disposition* const d = host_disposition(signo);
    if (d != 0 && d->handler != ACE_SignalHandler(SIG_IGN))
      d->handler(signo);
    else if (d == 0)
      sig_reconfig(signo);  // the "-s" signal
  }
}

void hold_relayed_signals(bool stops, int reconfig_signo, sigset_t* old_mask)
{
  sigset_t set;
  host_async_signals(set, reconfig_signo);
  if (!stops)
    for (int signo : {SIGINT, SIGQUIT, SIGTERM})
      sigdelset(&set, signo);
  (void)ACE_OS::pthread_sigmask(SIG_BLOCK, &set, old_mask);
}

namespace {

/// ACE's one table of signal handlers, for every reactor. Its own lookup takes the table's
/// lock for each signal (64 lookups, twice at every stop); the host reads and clears the
/// table in one pass under the lock, once.
class Sig_Table : public ACE_Sig_Handler
{
public:
  static ACE_Event_Handler* take(int signo) { return handler_i(signo, 0); }
};

}  // namespace

void forget_service_signal_handlers()
{
  ACE_MT(ACE_Recursive_Thread_Mutex* const lock =
             ACE_Managed_Object<ACE_Recursive_Thread_Mutex>::get_preallocated_object(
                 ACE_Object_Manager::ACE_SIG_HANDLER_LOCK);
         ACE_Guard<ACE_Recursive_Thread_Mutex> guard(*lock));
  for (int s = 1; s < ACE_NSIG; ++s) {
    if (Sig_Table::take(s) == 0)
      continue;
    const Disposition* const d = host_disposition(s);
    install(s, d != 0 ? d->handler : ACE_SignalHandler(SIG_IGN), d != 0 ? d->flags : 0);
  }
}

void close_signal_relay()
{
  if (signal_relay == 0)
    return;
  drain_signals(*signal_relay->events_, true);
  ACE_Reactor::instance()->remove_handler(signal_relay,
                                          ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
}
