// The body of mkdir_p_t: one heap copy of the path, cut in place at each separator in turn.
#include <cerrno>
#include <memory>
#include <sys/stat.h>

#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_stat.h>

namespace scrt_detail {

/// Releases a copy made by ACE_OS::strdup.
struct Os_Free
{
  void operator()(void* p) const { ACE_OS::free(p); }
};

}  // namespace scrt_detail

template <class T>
int mkdir_p_t(const T* path, mode_t mode, T sep, std::function<bool(const T*)> cb)
{
  if (path == 0 || *path == 0) {
    errno = EINVAL;
    return -1;
  }
  std::unique_ptr<T, scrt_detail::Os_Free> copy(ACE_OS::strdup(path));
  if (!copy)
    return -1;

  T const seps[2] = {sep, 0};
  int err = 0;
  T* cur = copy.get();
  for (bool last = false; !last && err == 0;) {
    cur += ACE_OS::strspn(cur, seps);
    cur += ACE_OS::strcspn(cur, seps);
    last = *cur == 0;
    T const at_cur = *cur;
    *cur = 0;

    ACE_stat st;
    if (ACE_OS::stat(copy.get(), &st) == -1) {
      if (ACE_OS::mkdir(copy.get(), mode) == 0) {
        if (cb && !cb(copy.get()))
          break;
      } else if (errno != EEXIST) {
        err = errno;
      } else if (ACE_OS::stat(copy.get(), &st) == -1 || !S_ISDIR(st.st_mode)) {
        // Something is there, but not a directory (a dangling symbolic link, or a file made
        // in between): going on would report success for a path that cannot be used.
        err = ENOTDIR;
      }
    } else if (!S_ISDIR(st.st_mode)) {
      err = ENOTDIR;
    }
    *cur = at_cur;
  }
  if (err == 0)
    return 0;
  errno = err;
  return -1;
}
