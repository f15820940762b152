/**
 * @file systemd_handler.cpp
 *
 * The systemd notifier. The client library is never linked, only loaded, so the host runs
 * unchanged where systemd or its library is missing.
 */
#include "starter/systemd_handler.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

#include "scrt/environ.h"
#include "scrt/log_macros.h"
#include "scrt/natoi.h"

/// Entry points of systemd's client library.
typedef int (*sd_booted_t)();
typedef int (*sd_watchdog_enabled_t)(int, uint64_t*);
typedef int (*sd_notify_t)(int, const char*);

enum
{
  /// The derived interval is the watchdog timeout divided by this...
  NOTIFY_RETRIES = 3,
  /// ...but not below this many microseconds...
  MIN_NOTIFY_USEC = 3000000,
  /// ...and no interval at all below this many: a watchdog of a few microseconds would
  /// otherwise give a timer of 0 ms and a loop that does nothing but notify.
  FLOOR_NOTIFY_USEC = 1000
};
// ...and never above half the timeout: a keep-alive that only just beats the timeout is lost
// to the first late dispatch, and systemd then kills a healthy host.

static const char* const LIBSYSTEMD = "libsystemd.so.0";
static const char* const LIBSYSTEMD_DAEMON = "libsystemd-daemon.so.0";
static const char* const READY = "READY=1\n";
static const char* const WATCHDOG = "WATCHDOG=1\n";


/// dlerror() for a format's "%s": never null.
static const char* dl_error()
{
  const char* const e = ::dlerror();
  return e != 0 ? e : "";
}

/// A microsecond count as a time value, without normalising it one second at a time.
static ACE_Time_Value from_usec(uint64_t usec)
{
  return ACE_Time_Value(static_cast<time_t>(usec / 1000000),
                        static_cast<suseconds_t>(usec % 1000000));
}

/// The keep-alive interval for a watchdog of @a usec when none is configured.
static ACE_Time_Value derived_interval(uint64_t usec)
{
  uint64_t interval = std::max<uint64_t>(usec / NOTIFY_RETRIES, MIN_NOTIFY_USEC);
  if (usec / 2 > 0)
    interval = std::min<uint64_t>(interval, usec / 2);
  return from_usec(interval);
}

Systemd_Handler::Systemd_Handler() : ACE_Event_Handler(0, 0), handle_(0), notify_timer_id_(-1)
{
}

Systemd_Handler::~Systemd_Handler()
{
  close();
}

int Systemd_Handler::open(ACE_Reactor* r)
{
  SCRT_CHECK_NULL_RETURN(r, "r", -1);
  if (open_i(r) == 0)
    return 0;
  close();
  return -1;
}

int Systemd_Handler::notify(const char* state) const
{
  sd_notify_t const sd_notify = running_.load();
  if (sd_notify == 0 || state == 0)
    return -1;
  (void)sd_notify(0, state);
  return 0;
}

int Systemd_Handler::close()
{
  running_.store(0);
  ACE_Reactor* const r = reactor();
  if (r != 0) {
    // Detached first: a timer already being dispatched finds no reactor to rely on.
    reactor(0);
    r->cancel_timer(notify_timer_id_, 0, 1);
  }
  if (handle_ != 0) {
    (void)::dlclose(handle_);
    handle_ = 0;
  }
  return 0;
}

int Systemd_Handler::handle_timeout(const ACE_Time_Value&, const void* act)
{
  if (handle_ != 0 && act != 0)
    (void)reinterpret_cast<sd_notify_t>(const_cast<void*>(act))(0, WATCHDOG);
  return 0;
}

int Systemd_Handler::open_i(ACE_Reactor* r)
{
  std::string fname;
  if (handle_ == 0) {
    fname = get_env_r("LIBSYSTEMD_FILENAME");
    if (!fname.empty()) {
      if (fname == "0")
        return -1;
      handle_ = ::dlopen(fname.c_str(), RTLD_LAZY);
      if (handle_ == 0) {
        SCRT_LOG(-1, (LM_WARNING, "Unable to load %s, %s\n", fname.c_str(), dl_error()));
        return -1;
      }
    } else {
      handle_ = ::dlopen(LIBSYSTEMD, RTLD_LAZY);
      if (handle_ != 0) {
        fname = LIBSYSTEMD;
      } else {
        SCRT_LOG(0, (LM_WARNING, "Unable to load libsystemd.so.0, %s\n", dl_error()));
        handle_ = ::dlopen(LIBSYSTEMD_DAEMON, RTLD_LAZY);
        if (handle_ == 0) {
          SCRT_LOG(-1, (LM_WARNING, "Unable to load libsystemd-daemon.so.0, %s\n", dl_error()));
          return -1;
        }
        fname = LIBSYSTEMD_DAEMON;
      }
    }
  }

  sd_booted_t const sd_booted = reinterpret_cast<sd_booted_t>(::dlsym(handle_, "sd_booted"));
  if (sd_booted == 0) {
    SCRT_LOG(-1, (LM_ERROR, "Not found symbol sd_booted in %s!\n", fname.c_str()));
    return -1;
  }
  sd_notify_t const sd_notify = reinterpret_cast<sd_notify_t>(::dlsym(handle_, "sd_notify"));
  if (sd_notify == 0) {
    SCRT_LOG(-1, (LM_ERROR, "Not found symbol sd_notify in %s!\n", fname.c_str()));
    return -1;
  }
  sd_watchdog_enabled_t const sd_watchdog_enabled =
      reinterpret_cast<sd_watchdog_enabled_t>(::dlsym(handle_, "sd_watchdog_enabled"));
  if (sd_watchdog_enabled == 0)
    SCRT_LOG(0, (LM_WARNING, "Not found symbol sd_watchdog_enabled in %s!\n", fname.c_str()));

  if (sd_booted() <= 0)
    return -1;

  uint64_t usec = 0;
  if (sd_watchdog_enabled != 0) {
    if (sd_watchdog_enabled(0, &usec) <= 0) {
      SCRT_LOG(-1, (LM_WARNING, "systemd watchdog is not enabled.\n"));
      return -1;
    }
  } else {
    // The library predates sd_watchdog_enabled: read what systemd puts in the environment.
    std::string const wd_usec = get_env_r("WATCHDOG_USEC");
    if (wd_usec.empty()) {
      SCRT_LOG(-1, (LM_WARNING, "systemd watchdog is not enabled, WATCHDOG_USEC is unset.\n"));
      return -1;
    }
    usec = natoi<unsigned long>(wd_usec.c_str(), nullptr, nullptr);
    if (usec == 0) {
      SCRT_LOG(-1, (LM_WARNING, "systemd watchdog is not enabled, WATCHDOG_USEC=%s.\n",
                    wd_usec.c_str()));
      return -1;
    }
    std::string const wd_pid = get_env_r("WATCHDOG_PID");
    if (!wd_pid.empty() && natoi<int>(wd_pid.c_str(), nullptr, nullptr) != ACE_OS::getpid()) {
      SCRT_LOG(-1, (LM_WARNING, "systemd watchdog is not enabled, WATCHDOG_PID=%s.\n",
                    wd_pid.c_str()));
      return -1;
    }
  }

  reactor(r);

  ACE_Time_Value tmo;
  std::string const interval = get_env_r("SD_NOTIFY_INTERVAL");
  if (!interval.empty())
    tmo.set(static_cast<double>(natoi<unsigned long>(interval.c_str(), nullptr, nullptr)));
  if (tmo == ACE_Time_Value::zero)
    tmo = derived_interval(usec);
  else if (tmo >= from_usec(usec))
    SCRT_LOG(0, (LM_WARNING,
                 "SD_NOTIFY_INTERVAL=%s is not shorter than the systemd watchdog timeout of "
                 "%Q ms.\n",
                 interval.c_str(), static_cast<ACE_UINT64>(usec / 1000)));

  if (tmo < from_usec(FLOOR_NOTIFY_USEC)) {
    ACE_UINT64 usec_tmo = 0;
    tmo.to_usec(usec_tmo);
    SCRT_LOG(0, (LM_WARNING, "The keep-alive interval of %Q us is below the floor of %d ms: "
                             "using %d ms.\n",
                 usec_tmo, FLOOR_NOTIFY_USEC / 1000, FLOOR_NOTIFY_USEC / 1000));
    tmo = from_usec(FLOOR_NOTIFY_USEC);
  }

  // The token is the library's sd_notify itself, so a tick needs no lookup.
  notify_timer_id_ =
      reactor()->schedule_timer(this, reinterpret_cast<const void*>(sd_notify), tmo, tmo);
  if (notify_timer_id_ == -1) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to schedule systemd notify timer, errno=%d, %m\n",
                  ACE_OS::last_error()));
    return -1;
  }

  // "<6>" is the informational level the journal reads on a service's standard error.
  ACE_OS::fprintf(stderr, "<6>Notify systemd every %lu ms.\n",
                  static_cast<unsigned long>(tmo.get_msec()));
  SCRT_LOG(0, (LM_DEBUG, "Notify systemd every %Q ms.\n",
               static_cast<ACE_UINT64>(tmo.get_msec())));

  (void)sd_notify(0, READY);
  (void)sd_notify(0, WATCHDOG);
  running_.store(sd_notify);
  return 0;
}
