// Close-on-exec opens: what the start-up probe chose on this system (popen's build-time answer
// included), that every pointer and wrapper yields a descriptor a started program does not
// inherit (or does, where the mode does not ask), the creation mode, re-running the probe, and
// the probe on a system without devices.
#include "scrt/compat_open.h"
#include "scrt/compat_open_impl.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/temp_dir.h"

// Both functions must keep their plain symbol names: a redeclaration with C linkage does not
// compile against a header that gave them C++ linkage.
extern "C" int o_cloexec_enabled();
extern "C" int enable_fd_cloexec(int fd);

using namespace scrt_detail;

namespace {

// Read by an ordinary static initialiser, which runs after every prioritised one: the probe
// must have filled the pointers by then, without anyone calling init_compat_opens().
const bool filled_before_main = open_cloexec != nullptr && fopen_compat != nullptr &&
                                freopen_compat != nullptr && fdopen_compat != nullptr &&
                                popen_compat != nullptr;

bool has_cloexec(int fd)
{
  int const flags = ::fcntl(fd, F_GETFD);
  return flags != -1 && (flags & FD_CLOEXEC) != 0;
}

/// Whether a program started with exec still holds descriptor @a fd.
bool inherited_by_exec(int fd)
{
  std::string const script = "test -e /proc/$$/fd/" + std::to_string(fd);
  pid_t const pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    ADD_FAILURE() << "the shell did not run";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

mode_t current_umask()
{
  mode_t const mask = ::umask(022);
  ::umask(mask);
  return mask;
}

/// A descriptor or stream opened by one of the cases below, closed as it was opened.
struct Opened
{
  int fd = -1;
  FILE* fp = nullptr;
  bool pipe = false;

  Opened() = default;
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
  ~Opened()
  {
    if (fp != nullptr)
      pipe ? ::pclose(fp) : ::fclose(fp);
    else if (fd != -1)
      ::close(fd);
  }
  int descriptor() const { return fp != nullptr ? ::fileno(fp) : fd; }
};

typedef const std::string& Path;

/// A plain descriptor and a plain stream on @a f, to be wrapped or reopened.
int plain_fd(Path f) { return ::open(f.c_str(), O_RDONLY); }
FILE* plain_fp(Path f) { return ::fopen(f.c_str(), "r"); }
const char* const pipe_cmd = "exec cat /dev/null";

// One row per way of opening: whether the result must be close-on-exec.
struct Open_Case
{
  const char* name;
  void (*open)(Path f, Opened& o);
  bool cloexec;
};

const Open_Case open_cases[] = {
    {"open_cloexec read",
     [](Path f, Opened& o) { o.fd = open_cloexec(f.c_str(), O_RDONLY); }, true},
    {"open_cloexec create",
     [](Path f, Opened& o) { o.fd = open_cloexec(f.c_str(), O_WRONLY | O_CREAT, 0600); }, true},
    {"open_cloexec_direct",
     [](Path f, Opened& o) { o.fd = open_cloexec_direct(f.c_str(), O_RDWR); }, true},
    {"open_cloexec_indirect",
     [](Path f, Opened& o) { o.fd = open_cloexec_indirect(f.c_str(), O_RDWR); }, true},
    {"fopen_compat re", [](Path f, Opened& o) { o.fp = fopen_compat(f.c_str(), "re"); }, true},
    {"fopen_indirect re", [](Path f, Opened& o) { o.fp = fopen_indirect(f.c_str(), "re"); }, true},
    {"fopen_indirect r+e",
     [](Path f, Opened& o) { o.fp = fopen_indirect(f.c_str(), "r+e"); }, true},
    {"fopen_indirect r", [](Path f, Opened& o) { o.fp = fopen_indirect(f.c_str(), "r"); }, false},
    {"freopen_compat re",
     [](Path f, Opened& o) { o.fp = freopen_compat(f.c_str(), "re", plain_fp(f)); }, true},
    {"freopen_indirect re",
     [](Path f, Opened& o) { o.fp = freopen_indirect(f.c_str(), "re", plain_fp(f)); }, true},
    {"freopen_indirect r",
     [](Path f, Opened& o) { o.fp = freopen_indirect(f.c_str(), "r", plain_fp(f)); }, false},
    {"fdopen_compat re", [](Path f, Opened& o) { o.fp = fdopen_compat(plain_fd(f), "re"); }, true},
    {"fdopen_indirect re",
     [](Path f, Opened& o) { o.fp = fdopen_indirect(plain_fd(f), "re"); }, true},
    {"fdopen_indirect r",
     [](Path f, Opened& o) { o.fp = fdopen_indirect(plain_fd(f), "r"); }, false},
    {"popen_compat re",
     [](Path, Opened& o) { o.pipe = true, o.fp = popen_compat(pipe_cmd, "re"); }, true},
    {"popen_indirect re",
     [](Path, Opened& o) { o.pipe = true, o.fp = popen_indirect(pipe_cmd, "re"); }, true},
    {"popen_indirect r",
     [](Path, Opened& o) { o.pipe = true, o.fp = popen_indirect(pipe_cmd, "r"); }, false},
};

TEST(CompatOpen, ProbeRanBeforeMain)
{
  EXPECT_TRUE(filled_before_main);
}

/// Whether the C library's own function made @a fp close-on-exec; closes @a fp.
bool platform_honours(FILE* fp, bool pipe = false)
{
  bool const honoured = fp != nullptr && has_cloexec(::fileno(fp));
  if (fp != nullptr)
    pipe ? ::pclose(fp) : ::fclose(fp);
  return honoured;
}

TEST(CompatOpen, ProbeChoseWhatThisSystemHonours)
{
  // Linux has honoured O_CLOEXEC for many years.
  EXPECT_TRUE(open_cloexec == &open_cloexec_direct);
  EXPECT_EQ(1, o_cloexec_enabled());

  // The C library's honouring of 'e' differs by function (fdopen ignores it in some), so each
  // choice is held against what the platform function does here.
  bool const fopen_e = platform_honours(::fopen("/dev/null", "we"));
  EXPECT_EQ(fopen_e, fopen_compat == static_cast<fopen_compat_t>(&::fopen64));
  EXPECT_EQ(!fopen_e, fopen_compat == &fopen_indirect);
  EXPECT_EQ(fopen_e, freopen_compat == static_cast<freopen_compat_t>(&::freopen64));
  EXPECT_EQ(!fopen_e, freopen_compat == &freopen_indirect);

  bool const fdopen_e = platform_honours(::fdopen(::open("/dev/null", O_WRONLY), "we"));
  EXPECT_EQ(fdopen_e, fdopen_compat == static_cast<fdopen_compat_t>(&::fdopen));
  EXPECT_EQ(!fdopen_e, fdopen_compat == &fdopen_indirect);

  bool const popen_e = platform_honours(::popen("exec true", "re"), true);
  EXPECT_EQ(popen_e, popen_compat == static_cast<popen_compat_t>(&::popen));
  EXPECT_EQ(!popen_e, popen_compat == &popen_indirect);
  // Where the build decides for popen, the shell-starting probe must agree with it; on glibc
  // the build always decides.
  EXPECT_TRUE(probe_popen() == popen_compat);
#if defined(__GLIBC__)
  EXPECT_TRUE(popen_e_known);
#endif
  if (popen_e_known) {
    EXPECT_TRUE(popen_e);
  }
}

TEST(CompatOpen, EveryWayOfOpeningSetsCloseOnExecAsAsked)
{
  if (::access("/proc/self/fd", F_OK) != 0)
    GTEST_SKIP() << "needs /proc to see a started program's descriptors";
  Temp_Dir dir;
  std::string const file = dir.write("f", "text");
  for (const Open_Case& c : open_cases) {
    SCOPED_TRACE(c.name);
    Opened opened;
    c.open(file, opened);
    ASSERT_NE(-1, opened.descriptor()) << "errno " << errno;
    EXPECT_EQ(c.cloexec, has_cloexec(opened.descriptor()));
    EXPECT_EQ(!c.cloexec, inherited_by_exec(opened.descriptor()));
  }
}

TEST(CompatOpen, FailuresPassThroughWithErrno)
{
  Temp_Dir dir;
  std::string const missing = dir / "missing";
  for (open_cloexec_t open : {open_cloexec, &open_cloexec_direct, &open_cloexec_indirect}) {
    errno = 0;
    EXPECT_EQ(-1, open(missing.c_str(), O_RDONLY));
    EXPECT_EQ(ENOENT, errno);
  }
  errno = 0;
  EXPECT_EQ(nullptr, fopen_indirect(missing.c_str(), "re"));
  EXPECT_EQ(ENOENT, errno);
  errno = 0;
  EXPECT_EQ(nullptr, fdopen_indirect(-1, "re"));
  EXPECT_EQ(EBADF, errno);
}

TEST(CompatOpen, CreationModeReachesTheNewFile)
{
  Temp_Dir dir;
  mode_t const want = 0640 & ~current_umask();
  int n = 0;
  for (open_cloexec_t open : {open_cloexec, &open_cloexec_direct, &open_cloexec_indirect}) {
    SCOPED_TRACE(n);
    std::string const file = dir / ("new" + std::to_string(n++));
    int const fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(0640));
    ASSERT_NE(-1, fd) << "errno " << errno;
    struct stat st;
    ASSERT_EQ(0, ::fstat(fd, &st));
    EXPECT_EQ(want, st.st_mode & 07777);
    ::close(fd);

    // Without a creating flag the call passes no mode, and the variable part is not read.
    int const again = open(file.c_str(), O_RDONLY);
    EXPECT_NE(-1, again);
    EXPECT_TRUE(has_cloexec(again));
    ::close(again);
  }
}

TEST(CompatOpen, CreationModeReachesAnUnnamedFile)
{
  Temp_Dir dir;
  mode_t const want = 0640 & ~current_umask();
  for (open_cloexec_t open : {&open_cloexec_direct, &open_cloexec_indirect}) {
    int const fd = open(dir.path().c_str(), O_TMPFILE | O_RDWR, static_cast<mode_t>(0640));
    if (fd == -1 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL))
      GTEST_SKIP() << "the file system has no unnamed temporary files";
    ASSERT_NE(-1, fd) << "errno " << errno;
    struct stat st;
    ASSERT_EQ(0, ::fstat(fd, &st));
    // A file that would have no permissions once linked into a directory is of no use.
    EXPECT_EQ(want, st.st_mode & 07777);
    EXPECT_TRUE(has_cloexec(fd));
    ::close(fd);
  }
}

TEST(CompatOpen, EnableFdCloexec)
{
  Temp_Dir dir;
  int const fd = ::open(dir.write("f", "").c_str(), O_RDONLY);
  ASSERT_NE(-1, fd);
  ASSERT_FALSE(has_cloexec(fd));
  EXPECT_EQ(0, enable_fd_cloexec(fd));
  EXPECT_TRUE(has_cloexec(fd));
  EXPECT_EQ(0, enable_fd_cloexec(fd)) << "setting it twice is no error";
  ::close(fd);

  errno = 0;
  EXPECT_EQ(-1, enable_fd_cloexec(fd));
  EXPECT_EQ(EBADF, errno);
}

/// Puts the pointers back as they were when the test started.
class Pointers_Guard
{
public:
  Pointers_Guard()
      : open_(open_cloexec), fopen_(fopen_compat), freopen_(freopen_compat),
        fdopen_(fdopen_compat), popen_(popen_compat)
  {
  }
  ~Pointers_Guard()
  {
    open_cloexec = open_;
    fopen_compat = fopen_;
    freopen_compat = freopen_;
    fdopen_compat = fdopen_;
    popen_compat = popen_;
    init_compat_opens();
  }
  fopen_compat_t fopen() const { return fopen_; }
  freopen_compat_t freopen() const { return freopen_; }
  fdopen_compat_t fdopen() const { return fdopen_; }
  popen_compat_t popen() const { return popen_; }
  bool unchanged() const
  {
    return open_cloexec == open_ && fopen_compat == fopen_ && freopen_compat == freopen_ &&
           fdopen_compat == fdopen_ && popen_compat == popen_;
  }

private:
  open_cloexec_t open_;
  fopen_compat_t fopen_;
  freopen_compat_t freopen_;
  fdopen_compat_t fdopen_;
  popen_compat_t popen_;
};

TEST(CompatOpen, InitAgainFillsOnlyWhatIsMissing)
{
  Pointers_Guard guard;
  int const enabled = o_cloexec_enabled();
  init_compat_opens();
  EXPECT_TRUE(guard.unchanged());
  EXPECT_EQ(enabled, o_cloexec_enabled());

  // A set pointer stays as it is, even when the probe would choose otherwise.
  open_cloexec = &open_cloexec_indirect;
  fdopen_compat = nullptr;
  popen_compat = nullptr;
  init_compat_opens();
  EXPECT_TRUE(open_cloexec == &open_cloexec_indirect);
  EXPECT_EQ(0, o_cloexec_enabled()) << "recomputed on every call";
  EXPECT_TRUE(fdopen_compat == guard.fdopen());
  EXPECT_TRUE(popen_compat == guard.popen());

  // The stream pair is probed as a whole when either half is missing.
  fopen_compat = &fopen_indirect;
  freopen_compat = nullptr;
  init_compat_opens();
  EXPECT_TRUE(fopen_compat == guard.fopen());
  EXPECT_TRUE(freopen_compat == guard.freopen());
}

// ---- The probe on a system without the devices it opens: a child process in a chroot.

/// Whether a child process may change its root directory here.
bool can_chroot(const std::string& root)
{
  pid_t const pid = ::fork();
  if (pid == 0)
    ::_exit(::chroot(root.c_str()) == 0 ? 0 : 1);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

/// In a child: runs the probe afresh under @a root and exits with 0 when open_cloexec is direct
/// exactly when @a direct, the stream pair is the platform's exactly when @a streams, and
/// fdopen is wrapped.
void probe_under_root(const std::string& root, bool direct, bool streams)
{
  if (::chroot(root.c_str()) != 0 || ::chdir("/") != 0)
    ::_exit(2);
  open_cloexec = nullptr;
  fopen_compat = nullptr;
  freopen_compat = nullptr;
  fdopen_compat = nullptr;
  popen_compat = nullptr;
  init_compat_opens();
  int bad = 0;
  if ((open_cloexec == &open_cloexec_direct) != direct)
    bad |= 4, std::fprintf(stderr, "open_cloexec\n");
  if ((fopen_compat == static_cast<fopen_compat_t>(&::fopen64)) != streams)
    bad |= 8, std::fprintf(stderr, "fopen_compat\n");
  if ((freopen_compat == static_cast<freopen_compat_t>(&::freopen64)) != streams)
    bad |= 16, std::fprintf(stderr, "freopen_compat\n");
  if (fdopen_compat != &fdopen_indirect)
    bad |= 32, std::fprintf(stderr, "fdopen_compat\n");
  if (o_cloexec_enabled() != (direct ? 1 : 0))
    bad |= 64, std::fprintf(stderr, "o_cloexec_enabled\n");
  ::_exit(bad);
}

TEST(CompatOpenDeathTest, WithoutDevicesEverythingIsWrapped)
{
  Temp_Dir root;
  if (!can_chroot(root.path()))
    GTEST_SKIP() << "needs the right to change the root directory (root)";
  EXPECT_EXIT(probe_under_root(root.path(), false, false), ::testing::ExitedWithCode(0), "");
}

TEST(CompatOpenDeathTest, WithOnlyDevZeroDescriptorWrappingIsWrapped)
{
  Temp_Dir root;
  if (!can_chroot(root.path()))
    GTEST_SKIP() << "needs the right to change the root directory (root)";
  std::string const dev = root.mkdir("dev");
  if (::mknod((dev + "/zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) != 0)
    GTEST_SKIP() << "needs the right to make device nodes";
  bool const fopen_e = platform_honours(::fopen("/dev/zero", "re"));
  EXPECT_EXIT(probe_under_root(root.path(), true, fopen_e), ::testing::ExitedWithCode(0), "");
}

}  // namespace
