/**
 * @file inline_util.h
 *
 * File-name predicates used when a configuration directory is expanded into its files. None of
 * them logs; a null or empty argument is simply "no".
 */
#ifndef SCRT_INLINE_UTIL_H
#define SCRT_INLINE_UTIL_H

#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_stat.h>

/// The last "." of @a path (the dot included), or null when @a path is null, empty or has none.
inline const char* find_file_extension(const char* path)
{
  if (path == 0 || *path == 0)
    return 0;
  return ACE_OS::strrchr(path, '.');
}

/// True exactly when the text after the last dot of @a path equals @a ext, byte for byte.
inline bool is_file_extension(const char* path, const char* ext)
{
  if (path == 0 || *path == 0 || ext == 0 || *ext == 0)
    return false;
  const char* const dot = find_file_extension(path);
  return dot != 0 && ACE_OS::strcmp(dot + 1, ext) == 0;
}

/// True when @a path names a regular file, following symbolic links.
template <class T>
inline bool is_regular_file(const T* path)
{
  ACE_stat st;
  return ACE_OS::stat(path, &st) == 0 && (st.st_mode & 0xF000) == 0x8000;
}

#endif /* SCRT_INLINE_UTIL_H */
