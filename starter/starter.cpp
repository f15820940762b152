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

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

#include <ace/ACE.h>
#include <ace/Event_Handler.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_Thread.h>
#include <ace/OS_NS_sys_utsname.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Thread_Manager.h>

#include "scrt/environ.h"
#include "scrt/log_macros.h"
#include "scrt/natoi.h"
#include "scrt/sysconf_helper.h"
#include "starter/open_service_config.h"
#include "starter/systemd_handler.h"
#include "starter/version.h"

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
// Start-up reports: what the host runs on and what it is. They log, and never stop the host.

/// Returns the kernel's swappiness, or -1 with errno telling why (ENODATA for an empty file).
short get_vm_swappiness()
{
  int const fd = ::open("/proc/sys/vm/swappiness", O_RDONLY);
  if (fd < 0)
    return -1;
  int e = 0;
  short rc = -1;
  char buf[4];
  // Three characters hold every value up to 999; natoi stops at the newline.
  ssize_t const n = ::read(fd, buf, 3);
  if (n < 0) {
    e = errno;
  } else if (n > 0) {
    buf[n] = 0;
    rc = natoi<short>(buf, nullptr, nullptr);
  } else {
    e = ENODATA;
  }
  ::close(fd);
  // close() must not overwrite the cause the caller reports.
  if (e != 0)
    errno = e;
  return rc;
}

/// Logs the machine summary; a failed swappiness read is logged and shown as -1.
static void log_system_info()
{
  short const swappiness = get_vm_swappiness();
  if (swappiness < 0) {
    int const e = ACE_OS::last_error();
    SCRT_LOG(0, (LM_ERROR,
                 "Failed to get vm swappiness from /proc/sys/vm/swappiness, errno=%d, %m\n", e));
  }

  ACE_utsname uts;
  if (ACE_OS::uname(&uts) != 0)
    return;
  // Bytes to gibibytes, halves rounded up.
  ACE_UINT64 const memory_gib = (get_system_memory() + 536870912ULL) >> 30;
  SCRT_LOG(0, (LM_INFO,
               "system info: sysname=%s, nodename=%s, release=%s, version=%s, machine=%s, "
               "processors=%d, memory=%QG, nofile=%d, swappiness=%d\n",
               uts.sysname, uts.nodename, uts.release, uts.version, uts.machine,
               static_cast<int>(ACE_OS::num_processors()), memory_gib, ACE::max_handles(),
               static_cast<int>(swappiness)));
}

/// Logs the banner: product, the component from COMPONENT when set, version and revision.
static void log_product_info()
{
  std::string const component = get_env_r("COMPONENT");
  if (!component.empty())
    SCRT_LOG(0, (LM_INFO,
                 "tessary3-%s " STARTER_PACKAGE_VERSION " (rev " STARTER_REVISION
                 ") is started.\n",
                 component.c_str()));
  else
    SCRT_LOG(0, (LM_INFO,
                 "tessary3 " STARTER_PACKAGE_VERSION " (rev " STARTER_REVISION ") is started.\n"));
}

// ---------------------------------------------------------------------------------------------
// The host's own event handlers: reference counted, so that the reactor's registrations own them.

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
  log_system_info();
  new_event_handler<Systemd_Handler>();
  log_product_info();

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
