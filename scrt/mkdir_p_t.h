/**
 * @file mkdir_p_t.h
 *
 * Creating a directory together with every missing directory above it, for narrow and wide
 * paths alike. Fails with -1 and errno: EINVAL for a null or empty path, ENOTDIR where a
 * component is not a directory, else the error of the creation that failed. Directories made
 * before a failure remain.
 */
#ifndef SCRT_MKDIR_P_T_H
#define SCRT_MKDIR_P_T_H

#include <functional>
#include <sys/types.h>

/**
 * Creates @a path and its missing parents with @a mode (under the umask), reading @a path as
 * components separated by runs of @a sep; leading separators make it absolute, and the root is
 * never created. @a cb, when not empty, is called right after each directory this call created,
 * with the path up to that component; returning false ends the walk with result 0. A directory
 * that another thread or process creates meanwhile is taken as it is, and only its creator's
 * callback hears of it. Returns 0, or -1 with errno. @a path itself is not modified.
 */
template <class T>
int mkdir_p_t(const T* path, mode_t mode, T sep, std::function<bool(const T*)> cb);

#include "scrt/mkdir_p_t.inl"

#endif /* SCRT_MKDIR_P_T_H */
