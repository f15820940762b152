/**
 * @file starter.cpp
 *
 * The service host's executable: the terminate handler, and main(), which runs the start-up
 * sequence, the event loop and the shutdown, and is the one place the host decides to end.
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
#include "starter/config/apply.h"
#include "starter/control/server.h"
#include "starter/daemon.h"
#include "starter/host.h"
#include "starter/host_options.h"
#include "starter/journal_log.h"
#include "starter/operator_options.h"
#include "starter/pid_file.h"
#include "starter/reload_record.h"
#include "starter/reports.h"
#include "starter/signals.h"
#include "starter/stop_deadline.h"

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
// The control socket: after the identity switch, so that it is the host user's.

/// Serves the control socket "--control" names, if any, for @a host in @a server. False,
/// logged, when it cannot be served.
static bool open_control(const Host_Options& o, Host& host, ACE_Event_Handler_var& server)
{
  if (o.control == 0)
    return true;
  Control_Server* const s = new (std::nothrow) Control_Server(host);
  if (s == 0) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to serve the control socket %C: out of memory\n", o.control));
    return false;
  }
  server = s;
  std::string why;
  if (s->open(ACE_Reactor::instance(), o.control_path, o.control_gid, why) != 0) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to serve the control socket %C: %C\n", o.control_path.c_str(),
                  why.c_str()));
    server = 0;
    return false;
  }
  SCRT_LOG(0, (LM_INFO, "Serving the control socket %C\n", o.control_path.c_str()));
  return true;
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

/// Finalises the services. Their signal handlers are dropped from ACE's one table first: a
/// service finalised may leave its handler there freed, and the teardown of a later one that
/// walks the table (ACE's memory pools do: the Name Server's) would call into freed memory.
static int finalise_services()
{
  forget_service_signal_handlers();
  int const threw = close_services();
  forget_service_signal_handlers();
  return threw;
}

int main(int argc, ACE_TCHAR** argv)
{
  open_standard_descriptors();
  std::set_terminate(handle_terminate);
  install_journal_log();

  Operator_Options const operator_options = parse_operator_options(argc, argv);
  // --check's child process, which checks as the run's identity, ends here too.
  int const answered = run_operator_options(operator_options, argc, argv);
  if (answered >= 0)
    return answered;

  Host_Options host_options = parse_host_options(argc, argv);
  if (!resolve_host_options(host_options, argc, argv, operator_options.strict))
    return 1;
  // The launcher and the intermediate process end here, leaving every clean-up to the host.
  int const detached = enter_background(host_options.background);
  if (detached >= 0)
    ACE_OS::_exit(detached);
  if (!switch_identity(host_options.identity)) {
    log_incomplete_identity();
    return 1;
  }

  size_t threads = 0;
  std::unique_ptr<ACE_Reactor> recycler;
  if (ACE_Reactor* const r = get_reactor(host_options, threads))
    recycler.reset(ACE_Reactor::instance(r, true));
  if (!ACE_Reactor::instance()->initialized()) {
    // A reactor creates its notification pipe (and its demultiplexer) when it opens; without
    // them nothing could be dispatched. errno is not kept that far, the limit is the usual cause.
    SCRT_LOG(-1, (LM_ERROR, "Failed to initialise the reactor (its notification pipe or "
                            "demultiplexer), with a limit of %d descriptors: refusing to start\n",
                  ACE::max_handles()));
    return 1;
  }

  ACE_TCHAR host_name[64];
  if (ACE_OS::hostname(host_name, sizeof host_name) == 0)
    ACE_Log_Msg::instance()->local_host(host_name);

  Config_Source source;
  source.argc = argc;
  source.argv = argv;
  source.base_dir = host_options.start_dir;
  source.strict = operator_options.strict;
  Host host(source, host_options.reconfig_signal, ACE_Reactor::instance(), host_options.reactor,
            threads, host_options.reload_changed ? RELOAD_CHANGED : RELOAD_ALL);
  if (!init_signal_handlers(host))
    return 1;
  // Only now that the stop and reload signals are taken: a supervisor may signal as soon as
  // the file appears. Another running host's file refuses the start even without --strict.
  Pid_File pid_file;
  bool const pid_written = pid_file.write(host_options.pid_file);
  if (!pid_written && (operator_options.strict || ACE_OS::last_error() == EWOULDBLOCK))
    return 1;
  if (pid_written && host_options.pid_file)
    set_reload_record(*host_options.pid_file);
  Checked_Config config;
  int const errors = host.check_configuration(config);
  if (errors != 0 && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "The configuration has %d error%s, and --strict is given: stopping\n",
                  errors, errors == 1 ? "" : "s"));
    return 1;
  }
  ::on_exit(on_exit_without_main, 0);
  bool const opened = host.open_services(config);
  // Applied: what is left of it need not be held while the services run, nor the memory the
  // check and the apply used and gave back.
  config = Checked_Config();
  (void)::malloc_trim(0);
  if (!opened && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to open the services, and --strict is given: stopping\n"));
    finalise_services();
    main_exits = true;
    return 1;
  }
  if (threads > 1 && host.start_loop_threads(threads) < threads && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "Not every event-loop thread asked for started, and --strict is "
                            "given: stopping\n"));
    host.end_loop_threads();
    finalise_services();
    main_exits = true;
    return 1;
  }
  ACE_Event_Handler_var control;
  if (!open_control(host_options, host, control) && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "No control socket, and --strict is given: stopping\n"));
    host.end_loop_threads();
    finalise_services();
    main_exits = true;
    return 1;
  }
  log_system_info();
  host.start_notifier();
  log_product_info();
  notify_service_status();
  report_running();

  host.run(threads);

  if (control.handler() != 0)
    static_cast<Control_Server*>(control.handler())->close();
  // Until the process ends, a reconfiguration signal waits rather than meet the default
  // action that a finalised service, or ACE's teardown, may put back.
  hold_relayed_signals(false, host_options.reconfig_signal);
  host.set_aside_overwritten();
  int const threw = finalise_services();
  // Stop signals that came while the services were finalised are still logged.
  close_signal_relay();
  hold_relayed_signals(true, host_options.reconfig_signal);
  // The deadline covered the finalisation too.
  cancel_stop_deadline();
  main_exits = true;
  if (threw != 0) {
    SCRT_LOG(-1, (LM_ERROR, "Stopped, but %d exception%s escaped the finalisation: exit status 2\n",
                  threw, threw == 1 ? "" : "s"));
    return 2;
  }
  return 0;
}
