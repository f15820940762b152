/**
 * @file compat_open.h
 *
 * Opening files, streams and pipes close-on-exec on any system. A probe at process start points
 * each function pointer below at the system's own function where the system honours the
 * close-on-exec request atomically, and at a wrapper that adds FD_CLOEXEC with fcntl otherwise.
 * For popen the answer comes from the build where the C library is known to honour it.
 * The pointers fail as the functions they replace: -1 or null, with errno as the platform left it.
 */
#ifndef SCRT_COMPAT_OPEN_H
#define SCRT_COMPAT_OPEN_H

#include <cstdio>

/// open(2) whose descriptor is always close-on-exec, whatever @a flags hold. The creation mode
/// is read from the variable part only when @a flags hold O_CREAT or O_TMPFILE.
typedef int (*open_cloexec_t)(const char* path, int flags, ...);
/// fopen(3); a mode holding the letter 'e' yields a close-on-exec descriptor.
typedef FILE* (*fopen_compat_t)(const char* path, const char* mode);
/// freopen(3); the same rule for 'e'.
typedef FILE* (*freopen_compat_t)(const char* path, const char* mode, FILE* stream);
/// fdopen(3); the same rule for 'e'.
typedef FILE* (*fdopen_compat_t)(int fd, const char* mode);
/// popen(3); the same rule for 'e', applied to the caller's end of the pipe.
typedef FILE* (*popen_compat_t)(const char* command, const char* mode);

/// Null until init_compat_opens() has run, which the library arranges before main(); never
/// changed afterwards, so any thread may call through them without locking.
extern open_cloexec_t open_cloexec;
extern fopen_compat_t fopen_compat;
extern freopen_compat_t freopen_compat;
extern fdopen_compat_t fdopen_compat;
extern popen_compat_t popen_compat;

/// Probes the system for every pointer that is still null and fills it; recomputes what
/// o_cloexec_enabled() reports. Runs among the static initialisers; calling it again is harmless.
void init_compat_opens();

extern "C" {

/// 1 when the system honours O_CLOEXEC at open time (open_cloexec opens atomically), else 0.
int o_cloexec_enabled();

/// Adds FD_CLOEXEC to the descriptor flags of @a fd. Returns 0, or -1 with errno from the
/// fcntl call that failed (EBADF for a descriptor that is not open).
int enable_fd_cloexec(int fd);

}

#endif /* SCRT_COMPAT_OPEN_H */
