/**
 * @file starter.cpp
 *
 * The service host's executable: the standard-library instances it exports, the terminate
 * handler, and main(), which runs the start-up sequence, the event loop and the shutdown.
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

#include <signal.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <atomic>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <ace/ACE.h>
#include <ace/Event_Handler.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_signal.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>

#include "scrt/log_macros.h"
#include "starter/config_vector.h"
#include "starter/daemon.h"
#include "starter/event_loop.h"
#include "starter/host_options.h"
#include "starter/journal_log.h"
#include "starter/open_service_config.h"
#include "starter/operator_options.h"
#include "starter/pid_file.h"
#include "starter/reports.h"
#include "starter/signals.h"
#include "starter/stop_deadline.h"
#include "starter/systemd_handler.h"

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
// Opening the services.

/// Hands @a kept, the vector the start-up check assembled, and the @a texts it read to the
/// Service Configurator, which reconfigures on @a reconfig_signal (0: SIGHUP); true exactly
/// when it reports 0. Its errors are logged with a count.
static bool open_services(std::vector<std::string>& kept, const Conf_Texts& texts,
                          int reconfig_signal)
{
  set_reconfig_signal(reconfig_signal);
  int const errors = open_service_config_vector(kept, texts);
  if (errors != 0) {
    int const open = open_service_count();
    if (errors < 0)
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read: %d "
                    "service%s open\n", open, open == 1 ? "" : "s"));
    else
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator reported %d error%s: %d service%s open\n",
                    errors, errors == 1 ? "" : "s", open, open == 1 ? "" : "s"));
  }
  return errors == 0;
}

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
// Shutdown.

/// Logs the exception in flight, which @a what (a service's fini, say) threw.
static void log_escaped_exception(const char* what)
{
  try {
    throw;
  } catch (const std::exception& e) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception: %C\n", what, e.what()));
  } catch (...) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception of unknown type\n", what));
  }
}

/// Finalises the services, the last opened first as ACE does, and closes the Service
/// Configurator. Each service's fini runs on its own: one that throws is logged with the
/// service's name and the others are still finalised (ACE's own loop would stop at it).
/// Returns the number of exceptions caught.
static int close_services()
{
  std::vector<ACE_Service_Type*> services;
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    services.push_back(const_cast<ACE_Service_Type*>(t));
  int threw = 0;
  for (auto s = services.rbegin(); s != services.rend(); ++s) {
    if ((*s)->type() == 0 || (*s)->fini_called())
      continue;
    try {
      (void)(*s)->fini();
    } catch (...) {
      std::string const what = std::string("The fini of service '") + (*s)->name() + "'";
      log_escaped_exception(what.c_str());
      ++threw;
    }
  }
  try {
    ACE_Service_Config::fini_svcs();
    ACE_Service_Config::close();
  } catch (...) {
    log_escaped_exception("Closing the Service Configurator");
    ++threw;
  }
  return threw;
}

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

int main(int argc, ACE_TCHAR** argv)
{
  open_standard_descriptors();
  std::set_terminate(handle_terminate);
  init_stl_symbols();
  install_journal_log();

  Operator_Options const operator_options = parse_operator_options(argc, argv);
  int const answered = run_operator_options(operator_options, argc, argv);
  if (answered >= 0)
    return answered;

  Host_Options host_options = parse_host_options(argc, argv);
  if (!resolve_host_options(host_options, argc, argv, operator_options.strict))
    return 1;
  enter_background(host_options.background);
  switch_identity(host_options.identity);

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

  ACE_TCHAR host[64];
  if (ACE_OS::hostname(host, sizeof host) == 0)
    ACE_Log_Msg::instance()->local_host(host);

  if (!init_signal_handlers())
    return 1;
  // Only now that the stop and reload signals are taken: a supervisor may signal as soon as
  // the file appears. Another running host's file refuses the start even without --strict.
  Pid_File pid_file;
  if (!pid_file.write(host_options.pid_file) &&
      (operator_options.strict || ACE_OS::last_error() == EWOULDBLOCK))
    return 1;
  std::vector<std::string> service_config;
  Conf_Texts texts;
  if (!check_service_config_at_start_up(argc, argv, host_options.start_dir.c_str(),
                                        operator_options.strict, service_config, texts))
    return 1;
  ::on_exit(on_exit_without_main, 0);
  bool const opened = open_services(service_config, texts, host_options.reconfig_signal);
  if (!opened && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to open the services, and --strict is given: stopping\n"));
    close_services();
    main_exits = true;
    return 1;
  }
  reassert_reconfig_handlers();
  if (threads > 1 && start_event_loop_threads(threads) < threads && operator_options.strict) {
    SCRT_LOG(-1, (LM_ERROR, "Not every event-loop thread asked for started, and --strict is "
                            "given: stopping\n"));
    end_event_loop_threads();
    close_services();
    main_exits = true;
    return 1;
  }
  log_system_info();
  new_event_handler<Systemd_Handler>();
  log_product_info();
  notify_service_status();
  report_running();

  run_event_loop();

  hold_relayed_signals(false);
  int const threw = close_services();
  forget_service_signal_handlers();
  // Stop signals that came while the services were finalised are still logged.
  close_signal_relay();
  hold_relayed_signals(true);
  cancel_stop_deadline();
  main_exits = true;
  if (threw != 0) {
    SCRT_LOG(-1, (LM_ERROR, "Stopped, but %d exception%s escaped the finalisation: exit status 2\n",
                  threw, threw == 1 ? "" : "s"));
    return 2;
  }
  return 0;
}
