// Start-up reports: what the host runs on and what it is, and what systemd is told it runs.
#include "starter/reports.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_sys_utsname.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/environ.h"
#include "scrt/log_macros.h"
#include "scrt/natoi.h"
#include "scrt/string_sprintf.h"
#include "scrt/sysconf_helper.h"
#include "starter/config/repository.h"
#include "starter/version.h"

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

void log_system_info()
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

void log_product_info()
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

std::string service_status()
{
  int const open_services = open_service_count();
  std::string state;
  string_sprintf(state, "STATUS=%d service%s open\n", open_services, open_services == 1 ? "" : "s");
  return state;
}

