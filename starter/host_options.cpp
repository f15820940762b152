// The host's own options, their checks, and the reactor they ask for.
#include "starter/host_options.h"

#include <signal.h>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"
#include "scrt/make_reactor.h"
#include "scrt/natoi.h"
#include "starter/config/assemble.h"

/// The most event-loop threads the host runs; a larger --threads is cut down to it, with a
/// warning. An overflowing count would otherwise ask for 2^64 threads; 1024 stacks still fit
/// any machine the host runs on.
static size_t const max_threads = 1024;

/// Reads "--threads" into @a o.threads; false, logged, when it is no plain decimal count.
static bool resolve_threads(Host_Options& o)
{
  if (o.threads_text == 0)
    return true;
  const char* end = 0;
  unsigned long const n = natoi<unsigned long>(o.threads_text, nullptr, &end);
  // An overflow stops at the digit that overflowed: only more digits may follow it.
  if (ACE_OS::last_error() == ERANGE)
    end += ACE_OS::strspn(end, "0123456789");
  if (ACE_OS::last_error() == EINVAL || *end != 0) {
    SCRT_LOG(0, (LM_ERROR, "Malformed --threads '%C': not a decimal count of threads\n",
                 o.threads_text));
    return false;
  }
  o.threads = n;
  if (o.threads > max_threads) {
    SCRT_LOG(0, (LM_WARNING, "Asked for %C threads, using the maximum of %u\n",
                 o.threads_text, static_cast<unsigned>(max_threads)));
    o.threads = max_threads;
  }
  return true;
}

/// Checks the reactor kind of @a o against its thread count. Returns false only when @a strict
/// and the kind cannot be made; without @a strict such a kind is dropped for the default.
static bool resolve_reactor(Host_Options& o, bool strict)
{
  if (o.reactor != 0 && *o.reactor == 0)
    o.reactor = 0;
  if (o.reactor != 0 && get_reactor_factory(o.reactor, o.threads) == 0) {
    if (ACE_OS::last_error() == EINVAL)
      SCRT_LOG(0, (LM_ERROR, "Failed to get reactor factory by '%C': the number of threads (%u) "
                             "of thread pool reactor is less than 2\n",
                   o.reactor, static_cast<unsigned>(o.threads)));
    else
      SCRT_LOG(0, (LM_ERROR, "Failed to get reactor factory by '%C'\n", o.reactor));
    if (strict) {
      SCRT_LOG(0, (LM_ERROR, "No reactor of the kind asked for, and --strict is given: "
                             "stopping\n"));
      return false;
    }
    o.reactor = 0;
  }
  // The select-based kinds let only the reactor's owner run the loop: further threads would
  // return at once.
  bool const one_loop_thread = o.reactor == 0 || ACE_OS::strcmp(o.reactor, "select") == 0 ||
                               ACE_OS::strcmp(o.reactor, "priority") == 0;
  if (one_loop_thread && o.threads > 1) {
    SCRT_LOG(0, (LM_WARNING, "The '%C' reactor runs its event loop on one thread only: running "
                             "one, not %u\n",
                 o.reactor != 0 ? o.reactor : "default", static_cast<unsigned>(o.threads)));
    o.threads = 1;
  }
  return true;
}

/// Reads the last "-s" into @a o.reconfig_signal; false, logged, when it names no signal the
/// host could take for reconfiguration.
static bool resolve_reconfig_signal(Host_Options& o)
{
  const char* const s = o.reconfig_signal_word;
  if (s == 0)
    return true;
  const char* end = 0;
  int const signo = natoi<int>(s, nullptr, &end);
  // SIGKILL and SIGSTOP cannot be caught, the C library keeps those between the classic and
  // the real-time signals, and SIGRTMAX is the stop deadline's.
  bool const valid = ACE_OS::last_error() == 0 && *end == 0 && signo > 0 && signo < SIGRTMAX &&
                     signo != SIGKILL && signo != SIGSTOP && !(signo >= 32 && signo < SIGRTMIN);
  if (!valid) {
    SCRT_LOG(0, (LM_ERROR, "Invalid -s '%C': not a signal the host can reconfigure on (1 to %d, "
                           "not SIGKILL, SIGSTOP or the C library's own; %d is the stop "
                           "deadline's)\n",
                 s, SIGRTMAX - 1, SIGRTMAX));
    return false;
  }
  o.reconfig_signal = signo;
  return true;
}

bool resolve_host_options(Host_Options& o, bool strict)
{
  // The kind is checked against a well-formed count only.
  bool ok = resolve_threads(o) && resolve_reactor(o, strict);
  ok = resolve_reconfig_signal(o) && ok;
  if (o.reload != 0 && ACE_OS::strcmp(o.reload, "changed") != 0 && ACE_OS::strcmp(o.reload, "all") != 0) {
    SCRT_LOG(0, (LM_ERROR, "Malformed --reload '%C': not \"changed\" or \"all\"\n", o.reload));
    ok = false;
  }
  o.reload_changed = o.reload != 0 && ACE_OS::strcmp(o.reload, "changed") == 0;
  if (!resolve_identity(o.identity)) {
    log_incomplete_identity();
    ok = false;
  }
  if (o.control_group != 0 && !resolve_group(o.control_group, o.control_gid))
    ok = false;
  char dir[PATH_MAX];
  if (ACE_OS::getcwd(dir, sizeof dir) != 0)
    o.start_dir = dir;
  else
    SCRT_LOG(-1, (LM_ERROR, "Failed to get the working directory, errno=%d, %m: relative "
                            "paths stay relative\n", ACE_OS::last_error()));
  if (o.pid_file_word != 0)
    o.pid_file = path_of_word(o.pid_file_word, o.start_dir.c_str());
  // A daemon works from "/": the socket is where the operator named it.
  if (o.control != 0)
    o.control_path = absolute_path(o.control, o.start_dir.c_str());
  return ok;
}

ACE_Reactor* get_reactor(const Host_Options& o, size_t& threads)
{
  threads = 0;
  const char* const type = o.reactor;
  if (type == 0)
    return 0;
  make_reactor_t const maker = get_reactor_factory(type, o.threads);
  ACE_Reactor* const reactor = maker != 0 ? maker() : 0;
  if (reactor == 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to create '%s' reactor\n", type));
    return 0;
  }
  threads = o.threads;
  if (threads > 1)
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor with %u threads\n", type,
                 static_cast<unsigned>(threads)));
  else
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor\n", type));
  return reactor;
}
