/**
 * @file mkdir_p.h
 *
 * Recursive directory creation with '/' as the separator, and its opposite question: which
 * leading part of a path exists as a directory. Nothing here logs; failures are -1 or null with
 * errno.
 */
#ifndef SCRT_MKDIR_P_H
#define SCRT_MKDIR_P_H

#include <functional>
#include <sys/types.h>

#include <ace/OS_NS_sys_stat.h>

/// mkdir_p_t() with '/' as the separator: creates @a path and its missing parents with
/// @a mode, calling @a cb (when not empty) for each directory created. Returns 0, or -1 with
/// errno EINVAL (null or empty path), ENOTDIR, or the error of the creation that failed.
int mkdir_p(const char* path, mode_t mode, std::function<bool(const char*)> cb);
/// The same for a wide path; @a cb receives the wide prefix.
int mkdir_p(const wchar_t* path, mode_t mode, std::function<bool(const wchar_t*)> cb);

/**
 * The leading part of @a path up to the end of its longest prefix that exists as a directory,
 * following symbolic links, with that directory's status in @a *st. The whole path when all of
 * it exists (trailing separators kept); "/" when nothing of an absolute path exists. The result
 * is the caller's, to release with ACE_OS::free. Returns null with errno EINVAL (null @a path
 * or @a st), ENOENT (a relative path whose first component is missing, or an empty path),
 * ENOTDIR (a component is not a directory), another error of stat (such as EACCES), or that of
 * the allocation; errno is 0 after success.
 */
char* longest_exist_dirname(const char* path, ACE_stat* st);

#endif /* SCRT_MKDIR_P_H */
