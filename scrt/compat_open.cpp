/**
 * @file compat_open.cpp
 *
 * Close-on-exec opens: the direct and indirect implementations behind the pointers, and the
 * probe that picks between them once per process. No probe logs: whatever fails, the indirect
 * wrapper is chosen, which is correct on every system.
 */
#include "scrt/compat_open.h"
#include "scrt/compat_open_impl.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

open_cloexec_t open_cloexec = 0;
fopen_compat_t fopen_compat = 0;
freopen_compat_t freopen_compat = 0;
fdopen_compat_t fdopen_compat = 0;
popen_compat_t popen_compat = 0;

/// 1 when open_cloexec is not the indirect wrapper.
static int o_cloexec_enabled_ = 0;

using scrt_detail::fdopen_indirect;
using scrt_detail::fopen_indirect;
using scrt_detail::freopen_indirect;
using scrt_detail::open_cloexec_direct;
using scrt_detail::open_cloexec_indirect;
using scrt_detail::popen_indirect;

// ---- The implementations behind the pointers.

/// Whether open(2) takes a creation mode for @a flags. O_TMPFILE creates a file as O_CREAT
/// does; passing 0 there would give the file no permissions once it is linked into a directory.
static bool open_needs_mode(int flags)
{
#if defined(O_TMPFILE)
  if ((flags & O_TMPFILE) == O_TMPFILE)
    return true;
#endif
  return (flags & O_CREAT) != 0;
}

/// The creation mode from an open's variable part; not read (0) when the flags need none.
static mode_t mode_of(int flags, va_list args)
{
  return open_needs_mode(flags) ? va_arg(args, mode_t) : 0;
}

/// Sets FD_CLOEXEC on @a fd after the fact; the caller's errno survives, since the wrappers
/// report the platform call's outcome and not this one.
static void add_cloexec(int fd)
{
  int const saved_errno = errno;
  enable_fd_cloexec(fd);
  errno = saved_errno;
}

/// Sets FD_CLOEXEC on the descriptor of @a fp when @a mode asks for close-on-exec.
static FILE* add_cloexec_if_asked(FILE* fp, const char* mode)
{
  if (fp != 0 && mode != 0 && std::strchr(mode, 'e') != 0)
    add_cloexec(::fileno(fp));
  return fp;
}

int scrt_detail::open_cloexec_direct(const char* path, int flags, ...)
{
  va_list args;
  va_start(args, flags);
  mode_t const mode = mode_of(flags, args);
  va_end(args);
  return ::open64(path, flags | O_CLOEXEC, mode);
}

int scrt_detail::open_cloexec_indirect(const char* path, int flags, ...)
{
  va_list args;
  va_start(args, flags);
  mode_t const mode = mode_of(flags, args);
  va_end(args);
  int const fd = ::open64(path, flags, mode);
  if (fd != -1)
    add_cloexec(fd);
  return fd;
}

FILE* scrt_detail::fopen_indirect(const char* path, const char* mode)
{
  return add_cloexec_if_asked(::fopen64(path, mode), mode);
}

FILE* scrt_detail::freopen_indirect(const char* path, const char* mode, FILE* fp)
{
  return add_cloexec_if_asked(::freopen64(path, mode, fp), mode);
}

FILE* scrt_detail::fdopen_indirect(int fd, const char* mode)
{
  return add_cloexec_if_asked(::fdopen(fd, mode), mode);
}

FILE* scrt_detail::popen_indirect(const char* path, const char* mode)
{
  return add_cloexec_if_asked(::popen(path, mode), mode);
}

int o_cloexec_enabled()
{
  return o_cloexec_enabled_;
}

int enable_fd_cloexec(int fd)
{
  int const flags = ::fcntl(fd, F_GETFD);
  if (flags == -1)
    return -1;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// ---- The probes: each asks the system for close-on-exec and looks whether it got it.

/// True when @a fd is open and carries FD_CLOEXEC.
static bool has_cloexec(int fd)
{
  if (fd == -1)
    return false;
  int const flags = ::fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

static open_cloexec_t init_open_cloexec()
{
  int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd == -1)
    fd = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
  open_cloexec_t const chosen = has_cloexec(fd) ? open_cloexec_direct : open_cloexec_indirect;
  if (fd != -1)
    ::close(fd);
  return chosen;
}

/// freopen is not probed by itself: a C library that knows 'e' for one knows it for both.
static void init_fopen_freopen(fopen_compat_t* fopen_ptr, freopen_compat_t* freopen_ptr)
{
  FILE* fp = ::fopen("/dev/null", "we");
  if (fp == 0)
    fp = ::fopen("/dev/zero", "re");
  bool honoured = false;
  if (fp != 0) {
    honoured = has_cloexec(::fileno(fp));
    ::fclose(fp);
  }
  if (fopen_ptr != 0)
    *fopen_ptr = honoured ? static_cast<fopen_compat_t>(::fopen64) : fopen_indirect;
  if (freopen_ptr != 0)
    *freopen_ptr = honoured ? static_cast<freopen_compat_t>(::freopen64) : freopen_indirect;
}

/// Only a descriptor opened without close-on-exec can show whether fdopen adds it, so there is
/// no fallback device: a descriptor that already carries the flag, or a read-only one wrapped
/// for writing, would prove nothing.
static fdopen_compat_t init_fdopen()
{
  int const fd = ::open("/dev/null", O_WRONLY);
  FILE* const fp = fd == -1 ? 0 : ::fdopen(fd, "we");
  fdopen_compat_t const chosen =
      fp != 0 && has_cloexec(::fileno(fp)) ? static_cast<fdopen_compat_t>(::fdopen)
                                           : fdopen_indirect;
  if (fp != 0)
    ::fclose(fp);
  else if (fd != -1)
    ::close(fd);
  return chosen;
}

popen_compat_t scrt_detail::probe_popen()
{
  FILE* const fp = ::popen("/bin/true", "re");
  popen_compat_t const chosen =
      fp != 0 && has_cloexec(::fileno(fp)) ? static_cast<popen_compat_t>(::popen) : popen_indirect;
  if (fp != 0)
    ::pclose(fp);
  return chosen;
}

// The popen probe starts a shell, which costs more than the rest of a small program's start.
// A C library that honours 'e' in popen's mode is known from its build: glibc since 2.9 (a
// program built against it refuses to run with an older one) and musl, which the build names.
#if (defined(__GLIBC__) && !defined(__UCLIBC__) &&                                      \
     (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 9))) ||                     \
    defined(SCRT_LIBC_MUSL)
const bool scrt_detail::popen_e_known = true;
#else
const bool scrt_detail::popen_e_known = false;
#endif

static popen_compat_t init_popen()
{
  return scrt_detail::popen_e_known ? static_cast<popen_compat_t>(::popen)
                                    : scrt_detail::probe_popen();
}

void init_compat_opens()
{
  if (open_cloexec == 0)
    open_cloexec = init_open_cloexec();
  if (fopen_compat == 0 || freopen_compat == 0)
    init_fopen_freopen(&fopen_compat, &freopen_compat);
  if (fdopen_compat == 0)
    fdopen_compat = init_fdopen();
  if (popen_compat == 0)
    popen_compat = init_popen();
  o_cloexec_enabled_ = open_cloexec != open_cloexec_indirect ? 1 : 0;
}

// ---- The probe at process start.

namespace {

struct Compat_Open_Probe
{
  Compat_Open_Probe() { init_compat_opens(); }
};

}  // namespace

// Priority 1001: right after the environment lock of environ.cpp (1000), and before every
// unprioritised initialiser, so that static objects of other units may already open through
// the pointers.
static Compat_Open_Probe compat_open_probe_ __attribute__((init_priority(1001)));
