/**
 * @file environ.cpp
 *
 * The environment lock and the locked readers and editors. The platform's getenv/setenv do
 * not protect against each other; every caller of this file does, through g_env_mutex.
 */
#include "scrt/environ.h"

#include <ace/Guard_T.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/RW_Thread_Mutex.h>

#include "scrt/log_macros.h"
#include "scrt/snprintf_t.h"

/// The one environment lock. It is constructed ahead of every other static initialiser of the
/// program (the close-on-exec probe of compat_open.cpp runs at 1001), so that nothing started
/// from a static initialiser finds it unconstructed.
static ACE_RW_Thread_Mutex g_env_mutex __attribute__((init_priority(1000)))(0, 0);

/// Sets @a name to @a val, or removes it when @a val is null. The caller holds the write lock.
static bool set_env_i(const char* name, const char* val)
{
  if (val == 0)
    return ACE_OS::unsetenv(name) == 0;
  return ACE_OS::setenv(name, val, 1) == 0;
}

/// The shared body of append_env and prepend_env; the caller has checked @a name.
static bool join_env(const char* name, const char* val, bool append)
{
  ACE_Write_Guard<ACE_RW_Thread_Mutex> guard(g_env_mutex);
  if (!guard.locked())
    return false;

  const char* const old = ACE_OS::getenv(name);
  if (old == 0 || *old == 0)
    return set_env_i(name, val);

  // "%s" of a null pointer would store whatever the formatter makes of it.
  if (val == 0) {
    ACE_OS::last_error(EINVAL);
    return false;
  }
  // The buffer must outlive set_env_i, which copies from it.
  snprintf_t<4096, char> joined;
  ACE_OS::last_error(0);
  int const len = append ? joined.set("%s:%s", old, val) : joined.set("%s:%s", val, old);
  if (len < 0) {
    // A cut or missing value must not replace the old one.
    if (ACE_OS::last_error() == 0)
      ACE_OS::last_error(ENOMEM);
    return false;
  }
  return set_env_i(name, joined.c_str());
}

std::string get_env_r(const char* name)
{
  std::string result;
  SCRT_CHECK_EMPTY_RETURN(name, "name", result);

  ACE_Read_Guard<ACE_RW_Thread_Mutex> guard(g_env_mutex);
  if (!guard.locked())
    return result;
  const char* const val = ACE_OS::getenv(name);
  if (val != 0)
    result = val;
  return result;
}

bool set_env(const char* name, const char* val)
{
  SCRT_CHECK_EMPTY_RETURN(name, "name", false);

  ACE_Write_Guard<ACE_RW_Thread_Mutex> guard(g_env_mutex);
  if (!guard.locked())
    return false;
  return set_env_i(name, val);
}

bool append_env(const char* name, const char* val)
{
  SCRT_CHECK_EMPTY_RETURN(name, "name", false);
  return join_env(name, val, true);
}

bool prepend_env(const char* name, const char* val)
{
  SCRT_CHECK_EMPTY_RETURN(name, "name", false);
  return join_env(name, val, false);
}
