// The stop deadline. Its expiry is handled in signal context, on whichever thread takes the
// signal: the thread that is stuck may be any of them, the main thread included.
#include "starter/stop_deadline.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <ace/OS_NS_string.h>
#include <ace/Signal.h>

#include "scrt/log_macros.h"

/// The deadline's timer, valid when timer_ok.
static timer_t timer;
static volatile sig_atomic_t timer_ok = 0;
/// Lock-free, so the handlers may take it: set by whoever arms or cancels the timer first.
static std::atomic<bool> armed(false);
/// Set when the deadline has passed once.
static volatile sig_atomic_t passed = 0;

/// The deadline passed: logs and exits. The timer fires again a second later, and SA_NODEFER
/// lets that expiry end a first one that hangs in logging.
static void sig_deadline(int)
{
  if (passed != 0)
    ::_exit(0);
  passed = 1;
  SCRT_LOG(0, (LM_ERROR, "The event loop did not end within %d s of the stop request: exiting "
                         "without finalising the services\n", STOP_GRACE_SECONDS));
  ::_exit(0);
}

bool init_stop_deadline()
{
  if (timer_ok != 0)
    return true;
  // A real-time signal: the classic ones may belong to the services.
  int const signo = SIGRTMAX;
  ACE_Sig_Action const action(sig_deadline, signo, static_cast<sigset_t*>(0),
                              SA_RESTART | SA_NODEFER);
  sigevent ev;
  ACE_OS::memset(&ev, 0, sizeof ev);
  ev.sigev_notify = SIGEV_SIGNAL;
  ev.sigev_signo = signo;
  timer_ok = ::timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0;
  return timer_ok != 0;
}

void arm_stop_deadline()
{
  if (timer_ok != 0 && !armed.exchange(true)) {
    int const saved = errno;
    itimerspec const deadline = {{1, 0}, {STOP_GRACE_SECONDS, 0}};
    (void)::timer_settime(timer, 0, &deadline, 0);
    errno = saved;
  }
}

void cancel_stop_deadline()
{
  if (timer_ok == 0)
    return;
  armed = true;  // before disarming: a later stop signal must not arm it again
  itimerspec const none = {{0, 0}, {0, 0}};
  (void)::timer_settime(timer, 0, &none, 0);
}
