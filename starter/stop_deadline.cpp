// The stop deadline. Its expiry is handled in signal context, on whichever thread takes the
// signal: the thread that is stuck may be any of them, the main thread included. It logs
// there, and removes the pid file with async-signal-safe calls only.
#include "starter/stop_deadline.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <ace/OS_NS_string.h>
#include <ace/Signal.h>

#include "scrt/log_macros.h"
#include "starter/pid_file.h"

/// The deadline's timer, valid when timer_ok.
static timer_t timer;
static volatile sig_atomic_t timer_ok = 0;
/// Lock-free, so the handlers may take it: set by whoever arms or cancels the timer first.
static std::atomic<bool> armed(false);
/// Set when the deadline has passed once.
static volatile sig_atomic_t passed = 0;

/// The deadline passed: removes the pid file, logs and exits with status 2, so that a
/// supervisor sees that the stop was cut short. The timer fires again a second later, and
/// SA_NODEFER lets that expiry end a first one that hangs in logging. A SIGRTMAX that is not
/// this timer's expiry (sent with kill, say) is ignored: only the host's own stop may end it.
static void sig_deadline(int, siginfo_t* info, void*)
{
  if (info == 0 || info->si_code != SI_TIMER || info->si_value.sival_ptr != &timer)
    return;
  if (passed != 0)
    ::_exit(STOP_DEADLINE_STATUS);
  passed = 1;
  int const err = remove_pid_file_at_death();
  SCRT_LOG(0, (LM_ERROR, "The stop did not complete within %d s of its request: exiting with "
                         "status %d, without finalising the services that are left\n",
               STOP_GRACE_SECONDS, STOP_DEADLINE_STATUS));
  log_pid_file_not_removed(err);
  ::_exit(STOP_DEADLINE_STATUS);
}

bool init_stop_deadline()
{
  if (timer_ok != 0)
    return true;
  // A real-time signal: the classic ones may belong to the services.
  int const signo = SIGRTMAX;
  struct sigaction action;
  ACE_OS::memset(&action, 0, sizeof action);
  action.sa_sigaction = sig_deadline;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (::sigaction(signo, &action, 0) != 0)
    return false;
  sigevent ev;
  ACE_OS::memset(&ev, 0, sizeof ev);
  ev.sigev_notify = SIGEV_SIGNAL;
  ev.sigev_signo = signo;
  ev.sigev_value.sival_ptr = &timer;
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
