/**
 * @file compat_open_impl.h
 *
 * The implementations that the close-on-exec probe chooses between, declared so that tests can
 * drive each of them on any system. Not for callers: they open through the pointers of
 * compat_open.h. Each returns what the platform function returned, with its errno.
 */
#ifndef SCRT_COMPAT_OPEN_IMPL_H
#define SCRT_COMPAT_OPEN_IMPL_H

#include <cstdio>

#include "scrt/compat_open.h"

namespace scrt_detail {

/// open64 with O_CLOEXEC added to @a flags.
int open_cloexec_direct(const char* path, int flags, ...);
/// open64 with @a flags unchanged, then FD_CLOEXEC through fcntl.
int open_cloexec_indirect(const char* path, int flags, ...);

/// The platform function with the same arguments, then FD_CLOEXEC through fcntl when @a mode
/// holds 'e'. A failure of that fcntl is not reported.
FILE* fopen_indirect(const char* path, const char* mode);
FILE* freopen_indirect(const char* path, const char* mode, FILE* fp);
FILE* fdopen_indirect(int fd, const char* mode);
FILE* popen_indirect(const char* path, const char* mode);

/// Whether the C library the scrt library was built against is known to honour 'e' in popen's
/// mode; popen_compat is then the system's popen without a probe.
extern const bool popen_e_known;
/// The run-time popen probe: starts /bin/true with mode "re" and returns the system's popen
/// when the pipe came back close-on-exec, else popen_indirect.
popen_compat_t probe_popen();

}  // namespace scrt_detail

#endif /* SCRT_COMPAT_OPEN_IMPL_H */
