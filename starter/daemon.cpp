// Detaching into the background, and the readiness pipe back to the launcher.
#include "starter/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_sys_wait.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"

/// The detached host's end of the readiness pipe; invalid in the foreground and once told.
static ACE_HANDLE ready_handle = ACE_INVALID_HANDLE;

/// The launcher: reaps the intermediate child, then returns the status byte the detached host
/// sends, or 1 when the pipe closes without one (the host ended, or never came to be).
static int wait_for_daemon(ACE_HANDLE ready, pid_t child)
{
  ACE_OS::waitpid(child, 0, 0);
  unsigned char status = 1;
  ssize_t n;
  do
    n = ACE_OS::read(ready, &status, 1);
  while (n < 0 && errno == EINTR);
  return n == 1 ? status : 1;
}

/// Points @a handle at /dev/null.
static void to_dev_null(ACE_HANDLE handle)
{
  ACE_HANDLE const null = ACE_OS::open("/dev/null", O_RDWR);
  if (null == ACE_INVALID_HANDLE)
    return;
  if (null != handle) {
    ACE_OS::dup2(null, handle);
    ACE_OS::close(null);
  }
}

/// Closes every descriptor from 3 up except @a keep (3 or above).
static void close_inherited(ACE_HANDLE keep)
{
  unsigned const k = static_cast<unsigned>(keep);
  if ((k == 3 || ::close_range(3, k - 1, 0) == 0) && ::close_range(k + 1, ~0U, 0) == 0)
    return;
  for (int h = 3, n = ACE::max_handles(); h < n; ++h)
    if (h != keep)
      ACE_OS::close(h);
}

int enter_background(bool background)
{
  if (!background)
    return -1;
  ACE_HANDLE pipe[2];
  pid_t pid = -1;
  if (ACE_OS::pipe(pipe) == 0) {
    // Above the standard descriptors, which the detached host points elsewhere, and kept from
    // programs that services run: only the host itself may hold the pipe open.
    ACE_HANDLE const w = ACE_OS::fcntl(pipe[1], F_DUPFD_CLOEXEC, 3);
    ACE_OS::close(pipe[1]);
    pipe[1] = w;
    if (w != ACE_INVALID_HANDLE)
      pid = ACE_OS::fork();
  }
  if (pid == -1) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to detach into the background, errno=%d, %m\n", e));
    return EXIT_FAILURE;
  }
  if (pid > 0) {
    ACE_OS::close(pipe[1]);
    return wait_for_daemon(pipe[0], pid);
  }
  ACE_OS::close(pipe[0]);

  // A new session without a terminal; the second fork makes sure no terminal is ever
  // acquired again. SIGHUP is ignored across it, as the session leader ends, then put back.
  ACE_OS::setsid();
  struct sigaction ignore, hup;
  ignore.sa_handler = SIG_IGN;
  ignore.sa_flags = 0;
  sigemptyset(&ignore.sa_mask);
  ACE_OS::sigaction(SIGHUP, &ignore, &hup);
  pid = ACE_OS::fork();
  if (pid == -1) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to detach into the background, errno=%d, %m\n", e));
    return EXIT_FAILURE;
  }
  if (pid > 0)
    return 0;
  ACE_OS::sigaction(SIGHUP, &hup, 0);

  if (ACE_OS::chdir("/") != 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_WARNING, "Failed to change to /, errno=%d, %m\n", e));
  }
  to_dev_null(ACE_STDIN);
  to_dev_null(ACE_STDOUT);
  close_inherited(pipe[1]);
  ready_handle = pipe[1];
  return -1;
}

void report_running()
{
  if (ready_handle == ACE_INVALID_HANDLE)
    return;
  unsigned char const running = 0;
  (void)ACE::write_n(ready_handle, &running, 1);
  ACE_OS::close(ready_handle);
  ready_handle = ACE_INVALID_HANDLE;
  to_dev_null(ACE_STDERR);
}
