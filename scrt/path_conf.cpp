/**
 * @file path_conf.cpp
 *
 * Building, extending and editing a configured path. The environment is read by
 * ACE_OS::strenvdup directly, not under the library's environment lock.
 */
#include "scrt/path_conf.h"

#include <cerrno>

#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>
#include <ace/SString.h>
#include <boost/algorithm/string/replace.hpp>

#include "scrt/env_expansion.h"
#include "scrt/log_macros.h"
#include "scrt/mkdir_p.h"

Path_Conf::Path_Conf(const char* prefix, bool create, const char* basename, mode_t mode)
{
  init(prefix, create, basename, mode);
}

Path_Conf::Path_Conf(const char* prefix, const char* sub, bool create, const char* basename,
                     mode_t mode)
{
  // Checked here too, so that the record names this call and not the joined text.
  SCRT_CHECK_EMPTY_RETURN_VOID(prefix, "prefix");
  std::string joined(prefix);
  if (sub != 0 && *sub != 0) {
    joined += '/';
    joined += sub;
  }
  init(joined.c_str(), create, basename, mode);
}

Path_Conf::~Path_Conf()
{
}

Path_Conf& Path_Conf::append(const char* sub)
{
  if (sub != 0 && *sub != 0) {
    prefix_ += '/';
    prefix_ += sub;
  }
  return *this;
}

void Path_Conf::fix(const char* name, const char* value)
{
  SCRT_CHECK_NULL_RETURN(name, "name", );
  SCRT_CHECK_NULL_RETURN(value, "value", );
  boost::algorithm::replace_all(prefix_, name, value);
}

void Path_Conf::init(const char* prefix, bool create, const char* basename, mode_t mode)
{
  SCRT_CHECK_EMPTY_RETURN_VOID(prefix, "prefix");

  ACE_Auto_String_Free expanded(0);
  if (fits_env_expansion(prefix))
    expanded.reset(ACE_OS::strenvdup(prefix));
  else
    errno = ENAMETOOLONG;
  if (expanded.get() == 0) {
    int const err = errno;
    SCRT_LOG(-1, (LM_ERROR, "Failed to strenvdup '%s', errno=%d, %m\n", prefix, err));
    return;
  }
  // The path is built whatever the creation's outcome; the record tells what went wrong.
  if (create && mkdir_p(expanded.get(), mode, nullptr) == -1 && errno != EEXIST) {
    int const err = errno;
    SCRT_LOG(-1, (LM_ERROR, "Failed to mkdir %s, errno=%d, %m\n", expanded.get(), err));
  }
  prefix_ += expanded.get();
  if (basename != 0 && *basename != 0) {
    prefix_ += '/';
    prefix_ += basename;
  }
}
