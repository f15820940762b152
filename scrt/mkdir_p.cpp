/**
 * @file mkdir_p.cpp
 *
 * The '/'-separated forms of recursive directory creation, and the search for the longest
 * existing directory prefix of a path.
 */
#include "scrt/mkdir_p.h"
#include "scrt/mkdir_p_t.h"

#include <cerrno>
#include <memory>
#include <sys/stat.h>

#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_stat.h>

int mkdir_p(const char* path, mode_t mode, std::function<bool(const char*)> cb)
{
  return mkdir_p_t<char>(path, mode, '/', std::move(cb));
}

int mkdir_p(const wchar_t* path, mode_t mode, std::function<bool(const wchar_t*)> cb)
{
  return mkdir_p_t<wchar_t>(path, mode, L'/', std::move(cb));
}

char* longest_exist_dirname(const char* path, ACE_stat* st)
{
  if (path == 0 || st == 0) {
    errno = EINVAL;
    return 0;
  }
  std::unique_ptr<char, scrt_detail::Os_Free> copy(ACE_OS::strdup(path));
  if (!copy)
    return 0;

  static const char seps[] = "/";
  int err = 0;
  char* cur = copy.get();
  // End of the longest existing prefix found so far.
  char* last = copy.get();
  for (bool at_end = false; !at_end;) {
    cur += ACE_OS::strspn(cur, seps);
    cur += ACE_OS::strcspn(cur, seps);
    at_end = *cur == 0;
    char const at_cur = *cur;
    *cur = 0;

    ACE_stat found;
    if (ACE_OS::stat(copy.get(), &found) == -1) {
      err = errno;
      break;
    }
    if (!S_ISDIR(found.st_mode)) {
      err = ENOTDIR;
      break;
    }
    *cur = at_cur;
    last = cur;
    *st = found;
  }

  if (err == ENOENT) {
    if (last != copy.get()) {
      err = 0;
    } else if (*copy == '/') {
      // Nothing below the root exists: the root is the answer.
      last = copy.get() + 1;
      err = ACE_OS::stat("/", st) == -1 ? errno : 0;
    }
  }
  if (err != 0) {
    errno = err;
    return 0;
  }
  *last = 0;
  errno = 0;
  return copy.release();
}
