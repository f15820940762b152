/**
 * @file starter.cpp
 *
 * The service host: main() and the start-up sequence it drives. Sections follow the order in
 * which start-up runs them: the exported library instances and the terminate handler, the
 * opening of the services, then the event loop and the shutdown.
 */
// Standard-library instances the executable exports, so that services loaded into it bind to
// the host's copies. They come before any other header can instantiate the templates.
#include <algorithm>
#include <utility>

namespace std {

template <>
const unsigned long& max<unsigned long>(const unsigned long& l, const unsigned long& r)
{
  return l > r ? l : r;
}

template <>
const long& max<long>(const long& l, const long& r)
{
  return l > r ? l : r;
}

template <>
void swap<unsigned long>(unsigned long& l, unsigned long& r) noexcept
{
  unsigned long const t = l;
  l = r;
  r = t;
}

}  // namespace std

#include <functional>
#include <string>

namespace std {

template <>
void swap<std::less<std::string>>(std::less<std::string>&, std::less<std::string>&) noexcept
{
}

}  // namespace std

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>
#include <new>

#include <ace/ACE.h>
#include <ace/Event_Handler.h>
#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_pwd.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>
#include <ace/Signal.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_sys_utsname.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>
#include <ace/OS_NS_time.h>
#include <ace/Thread_Manager.h>

#include "scrt/environ.h"
#include "scrt/log_macros.h"
#include "scrt/make_reactor.h"
#include "scrt/natoi.h"
#include "scrt/sysconf_helper.h"
#include "starter/open_service_config.h"
#include "starter/operator_options.h"
#include "starter/systemd_handler.h"
#include "starter/version.h"

// The comparator's call operator, instantiated here so that it is exported with the rest.
template struct std::less<std::string>;

/// Forces the call operator of std::less<std::string> into the executable.
void init_stl_symbols()
{
  std::string const foo("foo");
  std::string const bar("bar");
  (void)std::less<std::string>()(foo, bar);
}

// ---------------------------------------------------------------------------------------------
// Terminate handler: log what escaped, once, then abort.

/// Entries into handle_terminate; atomic because two threads may terminate at once and only
/// the first may log.
static std::atomic<int> tried_throw(0);

void handle_terminate()
{
  if (tried_throw.fetch_add(1) == 0) {
    try {
      throw;  // with nothing pending this re-enters the handler, which then aborts silently
    } catch (const std::exception& e) {
      SCRT_LOG(0, (LM_EMERGENCY, "Unhandled exception is caught, %s\n%?.\n", e.what()));
    } catch (...) {
      SCRT_LOG(0, (LM_EMERGENCY, "Unknown/unhandled exception is caught: \n%?.\n"));
    }
  }
  std::abort();
}

// ---------------------------------------------------------------------------------------------
// Signal handling.
//
// The handlers of the stop, reconfiguration and debug-toggle signals do only async-signal-safe
// work: they note the signal and the receiving thread's name in a pipe. The reactor reads the
// pipe in its event loop and there logs and acts, so logging, the reactor and the Service
// Configurator are never entered from signal context. A note that does not fit into the pipe
// is kept in a counter, so no signal is lost. The fatal-signal handler is the one exception: it
// logs its stack trace in signal context, since the process is dying anyway.

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

/// Tells systemd, through a running notifier, how many services are open.
static void notify_service_status()
{
  int open_services = 0;
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    if (t->active())
      ++open_services;
  std::string state;
  string_sprintf(state, "STATUS=%d service%s open\n", open_services, open_services == 1 ? "" : "s");
  Systemd_Handler::notify(state.c_str());
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
  // A unit of Type=notify-reload waits for RELOADING=1 stamped with the monotonic clock, then
  // for READY=1.
  timespec now;
  ACE_OS::clock_gettime(CLOCK_MONOTONIC, &now);
  std::string state;
  string_sprintf(state, "RELOADING=1\nMONOTONIC_USEC=%llu\n",
                 static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                     static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
  Systemd_Handler::notify(state.c_str());
  ACE_Service_Config::reconfigure();
  Systemd_Handler::notify("READY=1\n");
  notify_service_status();
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
static void reassert_reconfig_handlers()
{
  install_dispositions();
  if (int const signo = extra_reconfig_signal()) {
    ACE_Sig_Set sset(false);
    sset.sig_add(signo);
    ACE_Sig_Action reconfig_action(sset, sig_reconfig, 0, 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Command line, daemon mode and identity switch: the host's own options are read in place
// (argv is never reordered, the Service Configurator reads the same words later), then the
// process detaches when asked, takes on the asked identity and builds the reactor. A privilege
// drop that was asked for and did not fully happen stops the host before any service loads:
// running the services with more privilege than the operator allowed is worse than not
// running them.

/// The most event-loop threads the host runs; a larger --threads is cut down to it, with a
/// warning. An overflowing count would otherwise ask for 2^64 threads; 1024 stacks still fit
/// any machine the host runs on.
static size_t const max_threads = 1024;

/// The numeric id @a s spells (0 to 4294967295, read as strtoll reads it), or -1 when @a s is
/// to be taken as a name.
ACE_INT64 parse_uid_gid(const char* s)
{
  // strtoll would read the empty text as 0, which would make "--user ''" mean root.
  if (s == 0 || *s == 0)
    return -1;
  char* e = 0;
  ACE_INT64 const v = ACE_OS::strtoll(s, &e, 10);
  if ((e == 0 || *e == 0) && v >= 0 && v <= ACE_INT64(4294967295LL))
    return v;
  return -1;
}

/// Allocates room for the number of items the system limit @a name gives (@a default_ when it
/// gives none), @a item_size bytes each. Sets @a res to that count; null with errno ENOMEM
/// (and @a res 0) when the allocation fails.
static char* new_sysconf_buffer(int name, int default_, int item_size, size_t& res)
{
  res = 0;
  long size = ACE_OS::sysconf(name);
  if (size <= 0)
    size = default_;
  char* const buf =
      new (std::nothrow) char[static_cast<size_t>(item_size) * static_cast<size_t>(size)];
  if (buf == 0) {
    ACE_OS::last_error(ENOMEM);
    return 0;
  }
  res = static_cast<size_t>(size);
  return buf;
}

/// Resolves @a user, a name or a numeric id that must exist in the user database. Returns the
/// entry's name (a new string, freed with delete[]) and sets @a uid and, when @a gid is
/// non-null, @a *gid to its ids; on failure logs, returns null and leaves both (unsigned) -1.
static char* get_uid(const char* user, uid_t& uid, gid_t* gid)
{
  uid = static_cast<uid_t>(-1);
  if (gid != 0)
    *gid = static_cast<gid_t>(-1);
  ACE_INT64 const v = parse_uid_gid(user);
  size_t size = 0;
  std::unique_ptr<char[]> const buf(new_sysconf_buffer(_SC_GETPW_R_SIZE_MAX, 16384, 1, size));
  SCRT_CHECK_NULL_RETURN(buf.get(), "buf", 0);
  passwd pwd;
  passwd* res = 0;
  int const rc = v >= 0 ? ::getpwuid_r(static_cast<uid_t>(v), &pwd, buf.get(), size, &res)
                        : ACE_OS::getpwnam_r(user, &pwd, buf.get(), size, &res);
  if (rc != 0)
    ACE_OS::last_error(rc);
  else if (res == 0)
    ACE_OS::last_error(ENOENT);
  if (res != 0) {
    uid = pwd.pw_uid;
    if (gid != 0)
      *gid = pwd.pw_gid;
    return ACE::strnew(pwd.pw_name);
  }
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C password entry, errno=%d, %m\n", user,
               ACE_OS::last_error()));
  return 0;
}

/// Resolves @a group as get_uid() resolves a user, in the group database.
static char* get_gid(const char* group, gid_t& gid)
{
  gid = static_cast<gid_t>(-1);
  ACE_INT64 const v = parse_uid_gid(group);
  size_t size = 0;
  std::unique_ptr<char[]> const buf(new_sysconf_buffer(_SC_GETGR_R_SIZE_MAX, 16384, 1, size));
  SCRT_CHECK_NULL_RETURN(buf.get(), "buf", 0);
  struct group grp;
  struct group* res = 0;
  int const rc = v >= 0 ? ::getgrgid_r(static_cast<gid_t>(v), &grp, buf.get(), size, &res)
                        : ::getgrnam_r(group, &grp, buf.get(), size, &res);
  if (rc != 0)
    ACE_OS::last_error(rc);
  else if (res == 0)
    ACE_OS::last_error(ENOENT);
  if (res != 0) {
    gid = grp.gr_gid;
    return ACE::strnew(grp.gr_name);
  }
  SCRT_LOG(0, (LM_ERROR, "Failed to get %C group entry, errno=%d, %m\n", group,
               ACE_OS::last_error()));
  return 0;
}

/// Ends the process before any service is opened: the identity it was asked to take on could
/// not be taken on completely. The cause has been logged already.
[[noreturn]] static void refuse_incomplete_identity()
{
  SCRT_LOG(-1, (LM_ERROR, "Refusing to run with an incomplete identity switch.\n"));
  std::exit(EXIT_FAILURE);
}

/// Sets the current supplementary groups plus the groups @a names. A name that does not
/// resolve is left out; names beyond the system's limit are dropped with one warning; a
/// failure of the system calls is logged and leaves fewer groups, never more.
static void set_supplementary_groups(const std::vector<const char*>& names)
{
  size_t size = 0;
  std::unique_ptr<char[]> const buf(
      new_sysconf_buffer(_SC_NGROUPS_MAX, 65536, static_cast<int>(sizeof(gid_t)), size));
  if (!buf)
    return;
  gid_t* const gids = reinterpret_cast<gid_t*>(buf.get());
  int n = ::getgroups(static_cast<int>(size), gids);
  if (n < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to get supplementary groups, errno=%d, %m\n", e));
    n = 0;  // no valid count of current groups: the named ones alone
  }
  size_t dropped = 0;
  for (const char* name : names) {
    if (static_cast<size_t>(n) >= size) {
      ++dropped;
      continue;
    }
    std::unique_ptr<char[]> const found(get_gid(name, gids[n]));
    if (found)
      ++n;
  }
  if (dropped > 0)
    SCRT_LOG(0, (LM_WARNING, "Dropped %u supplementary groups beyond the limit of %u\n",
                 static_cast<unsigned>(dropped), static_cast<unsigned>(size)));
  if (::setgroups(static_cast<size_t>(n), gids) < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set supplementary groups, errno=%d, %m\n", e));
  }
}

/**
 * Reads the host's options from @a argc / @a argv (left as they are), daemonizes when asked
 * ("--background", or the Service Configurator's "-b", which the host honours in ACE's
 * stead), switches group, supplementary groups and user, and returns a new reactor of the
 * "--reactor" kind, which the caller owns. Returns null when no reactor was asked for, when
 * none could be made (logged), or when daemonizing failed (not logged). @a threads is 0 unless
 * a reactor is returned; then it is the "--threads" count, capped at max_threads. Does not
 * return when an asked-for identity could not be taken on completely.
 */
static ACE_Reactor* get_reactor(int argc, ACE_TCHAR** argv, size_t& threads)
{
  threads = 0;
  const ACE_TCHAR* type = 0;
  size_t n = 0;
  // The Service Configurator's "-b" is honoured here, in ACE's stead.
  bool background = !find_service_config_option(argc, argv, 'b').empty();
  const char* opt_user = 0;
  const char* opt_group = 0;
  std::vector<const char*> opt_groups;

  ACE_Get_Opt opt(argc, argv, ACE_TEXT(""), 1, 0, ACE_Get_Opt::RETURN_IN_ORDER, 0);
  opt.long_option(ACE_TEXT("threads"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("reactor"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("background"), ACE_Get_Opt::NO_ARG);
  opt.long_option(ACE_TEXT("user"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("primary-group"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("group"), ACE_Get_Opt::ARG_REQUIRED);
  for (int c; (c = opt()) != -1;) {
    if (c != 0)
      continue;  // everything else belongs to the Service Configurator, or to nobody
    const ACE_TCHAR* const name = opt.long_option();
    if (ACE_OS::strcmp(name, ACE_TEXT("threads")) == 0)
      n = natoi<unsigned long>(opt.opt_arg(), nullptr, nullptr);
    else if (ACE_OS::strcmp(name, ACE_TEXT("reactor")) == 0)
      type = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("background")) == 0)
      background = true;
    else if (ACE_OS::strcmp(name, ACE_TEXT("user")) == 0)
      opt_user = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("primary-group")) == 0)
      opt_group = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("group")) == 0)
      opt_groups.push_back(opt.opt_arg());
  }

  if (background && ACE::daemonize(ACE_TEXT("/"), true, ACE_TEXT("<unknown>")) == -1) {
    // Skipping the switch would leave the services the identity the host was started with.
    if (opt_user != 0 || opt_group != 0)
      refuse_incomplete_identity();
    return 0;
  }

  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::unique_ptr<char[]> user;
  std::unique_ptr<char[]> group;  // also marks that gid holds a group to set
  if (opt_group != 0)
    group.reset(get_gid(opt_group, gid));
  if (opt_user != 0) {
    user.reset(get_uid(opt_user, uid, group ? 0 : &gid));
    if (user && !group)
      group.reset(ACE::strnew(""));  // gid is the user's primary group
  }
  if ((opt_user != 0 && (!user || !group)) || (opt_group != 0 && !group))
    refuse_incomplete_identity();

  uid_t const ruid = ::getuid();
  gid_t const rgid = ::getgid();

  // Group first and user last: once the user is switched, the process may change neither.
  if (group && (gid != rgid || gid != ::getegid()) && ::setgid(gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to set gid to %u, errno=%d, %m\n",
                  static_cast<unsigned>(gid), e));
    refuse_incomplete_identity();
  }
  if (user && (gid != rgid || uid != ruid) && ::initgroups(user.get(), gid) != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to init groups by %C (uid=%u) and %C (gid=%u), errno=%d, %m\n",
                  user.get(), static_cast<unsigned>(uid), group.get(),
                  static_cast<unsigned>(gid), e));
    refuse_incomplete_identity();
  }
  if (!opt_groups.empty())
    set_supplementary_groups(opt_groups);
  if (user) {
    if ((uid != ruid || uid != ::geteuid()) && ::setuid(uid) != 0) {
      int const e = ACE_OS::last_error();
      SCRT_LOG(-1, (LM_ERROR, "Failed to set uid to %u, errno=%d, %m\n",
                    static_cast<unsigned>(uid), e));
      refuse_incomplete_identity();
    }
    if (::getuid() != uid || ::geteuid() != uid)
      refuse_incomplete_identity();
  }
  if (group && (::getgid() != gid || ::getegid() != gid))
    refuse_incomplete_identity();

  if (type == 0 || *type == 0)
    return 0;
  if (n > max_threads) {
    SCRT_LOG(0, (LM_WARNING, "Asked for %Q threads, using the maximum of %u\n",
                 static_cast<ACE_UINT64>(n), static_cast<unsigned>(max_threads)));
    n = max_threads;
  }
  make_reactor_t const maker = get_reactor_factory(type, n);
  if (maker == 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to get reactor factory by '%s'\n", type));
    return 0;
  }
  ACE_Reactor* const reactor = maker();
  if (reactor == 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to create '%s' reactor\n", type));
    return 0;
  }
  threads = n;
  if (threads > 1)
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor with %u threads\n", type,
                 static_cast<unsigned>(threads)));
  else
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor\n", type));
  return reactor;
}

/// Fills @a set with the signals the host handles asynchronously (stop, reconfigure, debug
/// toggle, and the Service Configurator's "-s" signal): those the pool threads must not take.
static void host_async_signals(sigset_t& set)
{
  static const int signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR2};
  sigemptyset(&set);
  for (int s : signals)
    sigaddset(&set, s);
  // Never a fault: blocked in the thread that faults, it would kill the host without a word.
  if (int const r = extra_reconfig_signal())
    sigaddset(&set, r);
}

// ---------------------------------------------------------------------------------------------
// Opening the services.

/// Hands the assembled vector to the Service Configurator; true exactly when it reports 0.
static bool do_open_service(int argc, char** argv)
{
  // The last "-s" counts, read as the Configurator reads it.
  std::vector<std::string> const s = find_service_config_option(argc, argv, 's');
  reconfig_signo = s.empty() ? 0 : ACE_OS::atoi(s.back().c_str());
  return ACE_Service_Config::open(argc, argv, ACE_LOCALHOST ":20012", false, false, true) == 0;
}

// ---------------------------------------------------------------------------------------------
// Start-up reports: what the host runs on and what it is. They log, and never stop the host.

/// Returns the kernel's swappiness, or -1 with errno telling why (ENODATA for an empty file).
short get_vm_swappiness()
{
  int const fd = ::open("/proc/sys/vm/swappiness", O_RDONLY);
  if (fd < 0)
    return -1;
  int e = 0;
  short rc = -1;
  char buf[4];
  // Three characters hold every value up to 999; natoi stops at the newline.
  ssize_t const n = ::read(fd, buf, 3);
  if (n < 0) {
    e = errno;
  } else if (n > 0) {
    buf[n] = 0;
    rc = natoi<short>(buf, nullptr, nullptr);
  } else {
    e = ENODATA;
  }
  ::close(fd);
  // close() must not overwrite the cause the caller reports.
  if (e != 0)
    errno = e;
  return rc;
}

/// Logs the machine summary; a failed swappiness read is logged and shown as -1.
static void log_system_info()
{
  short const swappiness = get_vm_swappiness();
  if (swappiness < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(0, (LM_ERROR,
                 "Failed to get vm swappiness from /proc/sys/vm/swappiness, errno=%d, %m\n", e));
  }

  ACE_utsname uts;
  if (ACE_OS::uname(&uts) != 0)
    return;
  // Bytes to gibibytes, halves rounded up.
  ACE_UINT64 const memory_gib = (get_system_memory() + 536870912ULL) >> 30;
  SCRT_LOG(0, (LM_INFO,
               "system info: sysname=%s, nodename=%s, release=%s, version=%s, machine=%s, "
               "processors=%d, memory=%QG, nofile=%d, swappiness=%d\n",
               uts.sysname, uts.nodename, uts.release, uts.version, uts.machine,
               static_cast<int>(ACE_OS::num_processors()), memory_gib, ACE::max_handles(),
               static_cast<int>(swappiness)));
}

/// Logs the banner: product, the component from COMPONENT when set, version and revision.
static void log_product_info()
{
  std::string const component = get_env_r("COMPONENT");
  if (!component.empty())
    SCRT_LOG(0, (LM_INFO,
                 "tessary3-%s " STARTER_PACKAGE_VERSION " (rev " STARTER_REVISION
                 ") is started.\n",
                 component.c_str()));
  else
    SCRT_LOG(0, (LM_INFO,
                 "tessary3 " STARTER_PACKAGE_VERSION " (rev " STARTER_REVISION ") is started.\n"));
}

// ---------------------------------------------------------------------------------------------
// The host's own event handlers: reference counted, so that the reactor's registrations own them.

/// Creates a @a T and opens it on the process-wide reactor. The creator's reference goes on
/// return: a @a T that failed to open dies here, a running one lives while the reactor holds
/// it. When no @a T can be allocated, errno is ENOMEM and nothing is logged.
template <class T>
static void new_event_handler()
{
  T* const h = new (std::nothrow) T;
  if (h == 0) {
    ACE_OS::last_error(ENOMEM);
    return;
  }
  h->reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
  ACE_Event_Handler_var guard(h);
  (void)h->open(ACE_Reactor::instance());
}

// ---------------------------------------------------------------------------------------------
// Event loop and shutdown.

/// Thread function of the pool: runs the loop once on the reactor in @a arg.
static ACE_THR_FUNC_RETURN event_loop(void* arg)
{
  ACE_Reactor* const reactor = static_cast<ACE_Reactor*>(arg);
  reactor->owner(ACE_OS::thr_self(), 0);
  reactor->run_reactor_event_loop(0);
  return 0;
}

int main(int argc, ACE_TCHAR** argv)
{
  std::set_terminate(handle_terminate);
  init_stl_symbols();

  Operator_Options const operator_options = parse_operator_options(argc, argv);
  int const answered = run_operator_options(operator_options, argc, argv);
  if (answered >= 0)
    return answered;

  size_t threads = 0;
  std::unique_ptr<ACE_Reactor> recycler;
  ACE_Reactor* const r = get_reactor(argc, argv, threads);
  if (r != 0)
    recycler.reset(ACE_Reactor::instance(r, true));

  ACE_TCHAR host[64];
  if (ACE_OS::hostname(host, sizeof host) == 0)
    ACE_Log_Msg::instance()->local_host(host);

  init_signal_handlers();
  bool const opened = open_service_config(argc, argv, true, do_open_service);
  if (!opened && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to open the services, and --strict is given: stopping\n"));
    ACE_Service_Config::fini_svcs();
    ACE_Service_Config::close();
    return 1;
  }
  reassert_reconfig_handlers();
  log_system_info();
  new_event_handler<Systemd_Handler>();
  log_product_info();
  notify_service_status();

  if (threads > 1) {
    // Pool threads start with the host's asynchronous signals blocked, so that the main
    // thread, waiting below, takes them all: a signal that interrupted a pool thread's
    // demultiplexer would end that thread's loop for good. Fatal signals stay unblocked.
    sigset_t async_signals;
    sigset_t old_mask;
    host_async_signals(async_signals);
    ACE_OS::pthread_sigmask(SIG_BLOCK, &async_signals, &old_mask);
    ACE_Thread_Manager::instance()->spawn_n(threads, event_loop, ACE_Reactor::instance());
    ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
    ACE_Thread_Manager::instance()->wait(0, false, true);
  } else {
    ACE_Reactor::instance()->owner(ACE_OS::thr_self(), 0);
    while (!ACE_Reactor::instance()->reactor_event_loop_done())
      ACE_Reactor::instance()->run_reactor_event_loop(0);
  }

  ACE_Service_Config::fini_svcs();
  ACE_Service_Config::close();
  // Stop signals that came while the services were finalised are still logged; then the relay
  // leaves the reactor, which ACE deletes at its own shutdown.
  drain_signals(true);
  if (signal_relay != 0)
    ACE_Reactor::instance()->remove_handler(signal_relay,
                                            ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
  return 0;
}
