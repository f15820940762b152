// The host's sigaction, signal and their kin: every library in the process, the services
// included, calls these first (the executable's exported symbols come first in the lookup), so
// the guards of the stop signals learn that a disposition may have changed without reading all
// five back after every service (stop_signal_guard.h). Each call is handed on unchanged.
#include <dlfcn.h>
#include <signal.h>

#include <atomic>

#include "starter/config/stop_signal_guard.h"
#include "starter/next_call.h"

namespace {

typedef int (*Sigaction)(int, const struct sigaction*, struct sigaction*);
typedef sighandler_t (*Signal)(int, sighandler_t);
std::atomic<Sigaction> next_sigaction(0);
std::atomic<Sigaction> next_sigaction_internal(0);
std::atomic<Signal> next_signal(0);
std::atomic<Signal> next_sigset(0);
std::atomic<Signal> next_bsd_signal(0);
std::atomic<Signal> next_sysv_signal(0);

/// Looked up at load, before any handler could run (dlsym is not async-signal-safe), and the
/// counting turned on.
struct Resolve
{
  Resolve()
  {
    (void)next_call(next_sigaction, "sigaction");
    (void)next_call(next_sigaction_internal, "__sigaction");
    (void)next_call(next_signal, "signal");
    (void)next_call(next_sigset, "sigset");
    (void)next_call(next_bsd_signal, "bsd_signal");
    (void)next_call(next_sysv_signal, "sysv_signal");
    count_stop_dispositions();
  }
} const resolved;

int counted_action(std::atomic<Sigaction>& next, const char* name, int signo,
                   const struct sigaction* act, struct sigaction* old)
{
  if (act != 0)
    stop_disposition_call(signo);
  return next_call(next, name)(signo, act, old);
}

sighandler_t counted_handler(std::atomic<Signal>& next, const char* name, int signo,
                             sighandler_t handler)
{
  stop_disposition_call(signo);
  return next_call(next, name)(signo, handler);
}

} // namespace

extern "C" int sigaction(int signo, const struct sigaction* act, struct sigaction* old)
{
  return counted_action(next_sigaction, "sigaction", signo, act, old);
}

extern "C" int __sigaction(int signo, const struct sigaction* act, struct sigaction* old)
{
  return counted_action(next_sigaction_internal, "__sigaction", signo, act, old);
}

extern "C" sighandler_t signal(int signo, sighandler_t handler)
{
  return counted_handler(next_signal, "signal", signo, handler);
}

extern "C" sighandler_t sigset(int signo, sighandler_t handler)
{
  return counted_handler(next_sigset, "sigset", signo, handler);
}

extern "C" sighandler_t bsd_signal(int signo, sighandler_t handler)
{
  return counted_handler(next_bsd_signal, "bsd_signal", signo, handler);
}

extern "C" sighandler_t sysv_signal(int signo, sighandler_t handler)
{
  return counted_handler(next_sysv_signal, "sysv_signal", signo, handler);
}
