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

#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>

#include <ace/Log_Msg.h>
#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Thread_Manager.h>

#include "scrt/log_macros.h"
#include "starter/open_service_config.h"

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
// Opening the services.

/// Hands the assembled vector to the Service Configurator; true exactly when it reports 0.
static bool do_open_service(int argc, char** argv)
{
  return ACE_Service_Config::open(argc, argv, ACE_LOCALHOST ":20012", false, false, true) == 0;
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

  size_t threads = 0;
  std::unique_ptr<ACE_Reactor> recycler;
  ACE_Reactor* const r = 0;
  if (r != 0)
    recycler.reset(ACE_Reactor::instance(r, true));

  ACE_TCHAR host[64];
  if (ACE_OS::hostname(host, sizeof host) == 0)
    ACE_Log_Msg::instance()->local_host(host);

  open_service_config(argc, argv, true, do_open_service);

  if (threads > 1) {
    ACE_Thread_Manager::instance()->spawn_n(threads, event_loop, ACE_Reactor::instance());
    ACE_Thread_Manager::instance()->wait(0, false, true);
  } else {
    ACE_Reactor::instance()->owner(ACE_OS::thr_self(), 0);
    while (!ACE_Reactor::instance()->reactor_event_loop_done())
      ACE_Reactor::instance()->run_reactor_event_loop(0);
  }

  ACE_Service_Config::fini_svcs();
  ACE_Service_Config::close();
  return 0;
}
