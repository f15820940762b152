/**
 * @file starter.cpp
 *
 * The service host's executable: the terminate handler, the hook that reports a service's
 * exit(), and main(): the start-up sequence up to the host, which it then starts, runs and
 * stops; the one place the host decides to end.
 */
#include <fcntl.h>
#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>

#include "scrt/log_macros.h"
#include "starter/command_line.h"
#include "starter/daemon.h"
#include "starter/host.h"
#include "starter/host_options.h"
#include "starter/identity.h"
#include "starter/journal_log.h"
#include "starter/operator_options.h"
#include "starter/pid_file.h"

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
  // The abort is this record's own end: the fatal-signal handler must not log it again.
  ACE_OS::signal(SIGABRT, SIG_DFL);
  std::abort();
}

// ---------------------------------------------------------------------------------------------
// Standard descriptors.

/// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed. Otherwise the reactor's
/// or the signal relay's pipe would take such a number, and a service writing to standard
/// output or error would write into it. open() takes the lowest free number, which, going up
/// from 0, is the closed one.
static void open_standard_descriptors()
{
  for (int fd = 0; fd <= 2; ++fd)
    if (ACE_OS::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      (void)ACE_OS::open("/dev/null", O_RDWR);
}

// ---------------------------------------------------------------------------------------------
// A service's exit(): said, and the pid file removed.

/// Set when main() returns: from then on the process's exit is the host's own.
static bool main_exits = false;

/// on_exit() hook: an exit before main() returns is a service's call of exit() (or of
/// std::exit), which ends the host wherever it is (what ACE's own teardown then finalises is
/// up to ACE). Says so, and removes the pid file that main() would have.
static void on_exit_without_main(int status, void*)
{
  if (main_exits)
    return;
  SCRT_LOG(-1, (LM_ERROR, "A service called exit(%d): the host ends\n", status));
  if (int const err = remove_pid_file_at_death()) {
    ACE_OS::last_error(err);
    SCRT_LOG(-1, (LM_ERROR, "Failed to remove the pid file '%C', errno=%d, %m\n",
                  held_pid_file(), err));
  }
}

/// Makes the reactor @a o asks for the process's own (@a recycler deletes it) and sets
/// @a threads to its loop threads. False, logged, when the reactor did not initialise.
static bool make_reactor(const Host_Options& o, size_t& threads,
                         std::unique_ptr<ACE_Reactor>& recycler)
{
  if (ACE_Reactor* const r = get_reactor(o, threads))
    recycler.reset(ACE_Reactor::instance(r, true));
  if (!ACE_Reactor::instance()->initialized()) {
    // A reactor creates its notification pipe (and its demultiplexer) when it opens; without
    // them nothing could be dispatched. errno is not kept that far, the limit is the usual cause.
    SCRT_LOG(-1, (LM_ERROR, "Failed to initialise the reactor (its notification pipe or "
                            "demultiplexer), with a limit of %d descriptors: refusing to start\n",
                  ACE::max_handles()));
    return false;
  }
  ACE_TCHAR host_name[64];
  if (ACE_OS::hostname(host_name, sizeof host_name) == 0)
    ACE_Log_Msg::instance()->local_host(host_name);
  return true;
}

int main(int argc, ACE_TCHAR** argv)
{
  open_standard_descriptors();
  std::set_terminate(handle_terminate);
  install_journal_log();

  Command_Line line = parse_command_line(argc, argv);
  // --check's child process, which checks as the run's identity, ends here too.
  int const answered = run_operator_options(line);
  if (answered >= 0)
    return answered;
  log_command_line_problems(line);
  if (!resolve_host_options(line.host, line.operators.strict))
    return 1;
  // The launcher and the intermediate process end here, leaving every clean-up to the host.
  int const detached = enter_background(line.host.background);
  if (detached >= 0)
    ACE_OS::_exit(detached);
  if (!switch_identity(line.host.identity)) {
    log_incomplete_identity();
    return 1;
  }
  size_t threads = 0;
  std::unique_ptr<ACE_Reactor> recycler;
  if (!make_reactor(line.host, threads, recycler))
    return 1;

  Host host(line, ACE_Reactor::instance(), threads);
  ::on_exit(on_exit_without_main, 0);
  int status = host.start();
  if (status < 0) {
    host.run();
    status = host.stop();
  }
  main_exits = true;
  return status;
}
