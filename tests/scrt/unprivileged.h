// Checks that need a caller without root's privileges (permission errors) run in a child
// process, which gives up root for the unprivileged user 65534 when the tests run as root.
#ifndef TESTS_SCRT_UNPRIVILEGED_H
#define TESTS_SCRT_UNPRIVILEGED_H

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/// In a child process: gives up root, if the process has it, for user and group 65534. True
/// when the process now runs without root's privileges.
inline bool drop_root()
{
  if (::geteuid() != 0)
    return true;
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
    return false;
  return ::geteuid() != 0;
}

/// Whether a child process can run without root's privileges here (a user namespace without
/// a mapping for 65534 cannot).
inline bool can_drop_root()
{
  pid_t const pid = ::fork();
  if (pid == 0)
    ::_exit(drop_root() ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

#endif /* TESTS_SCRT_UNPRIVILEGED_H */
