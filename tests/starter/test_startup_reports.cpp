// The host's start-up reports and its systemd notifier, end to end: the machine summary and
// the banner it logs, readiness and keep-alives reaching a fake client library, and, inside a
// private mount namespace, systemd's real client library sending to a socket the test reads.
#include <dlfcn.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ace/Version.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "starter/cold_pages.h"
#include "starter/version.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const char* const UNSHARE = "/usr/bin/unshare";

/// The first line of @a text that starts with @a prefix, newline included; empty when none.
std::string line_starting(const std::string& text, const std::string& prefix)
{
  size_t pos = 0;
  while (pos < text.size()) {
    size_t const end = text.find('\n', pos);
    std::string const line =
        text.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
    if (line.compare(0, prefix.size(), prefix) == 0)
      return line;
    if (end == std::string::npos)
      break;
    pos = end + 1;
  }
  return "";
}

/// The system-information record this machine should produce, with @a swappiness.
std::string expected_system_info(int swappiness)
{
  struct utsname u;
  EXPECT_EQ(0, ::uname(&u));
  unsigned long long const memory = static_cast<unsigned long long>(::sysconf(_SC_PHYS_PAGES)) *
                                    static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
  struct rlimit nofile;
  EXPECT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &nofile));
  return std::string("system info: sysname=") + u.sysname + ", nodename=" + u.nodename +
         ", release=" + u.release + ", version=" + u.version + ", machine=" + u.machine +
         ", processors=" + std::to_string(::sysconf(_SC_NPROCESSORS_CONF)) +
         ", memory=" + std::to_string((memory + (1ULL << 29)) >> 30) +
         "G, nofile=" + std::to_string(nofile.rlim_cur) +
         ", swappiness=" + std::to_string(swappiness) + "\n";
}

/// The swappiness of this machine; -1 when it cannot be read.
int machine_swappiness()
{
  std::ifstream in("/proc/sys/vm/swappiness");
  int v = -1;
  return (in >> v) ? v : -1;
}

std::string banner(const std::string& component)
{
  return (component.empty() ? std::string("tessary3 ") : "tessary3-" + component + " ") +
         STARTER_PACKAGE_VERSION " (rev " STARTER_REVISION ") is started.\n";
}

const char* const SWAPPINESS_FAILURE = "Failed to get vm swappiness from /proc/sys/vm/swappiness";

/// Why the namespace tests cannot run here; empty when they can.
std::string namespace_refusal()
{
  if (::access(UNSHARE, X_OK) != 0)
    return std::string(UNSHARE) + " is not installed";
  if (std::system("/usr/bin/unshare -m sh -c 'mount -t tmpfs tmpfs /run' >/dev/null 2>&1") != 0)
    return "a private mount namespace with a tmpfs mount (unshare -m, mount) is not permitted";
  return "";
}

/// Starts the host with @a args in a private mount namespace, after @a setup has run there in
/// a shell. The shell execs the host, so the host keeps the process id that h.pid() reports.
bool start_in_namespace(Host_Process& h, const std::string& setup,
                        const std::vector<std::string>& args, const Host_Process::Env& set,
                        const std::vector<std::string>& unset = {})
{
  std::vector<std::string> argv = {"-m", "sh", "-c", setup + " || exit 99\nexec \"$0\" \"$@\"",
                                   STARTER_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return h.start(argv, set, unset, UNSHARE);
}

/// Ends a host that is still running; its exit is not what the caller tests.
void stop(Host_Process& h)
{
  h.send(SIGTERM);
  h.wait_exit();
}

/// Resident kilobytes of the mappings of the file whose path ends in @a name; this executable's
/// own when empty.
long executable_rss_kb(const std::string& name = "")
{
  char exe[4096] = {0};
  EXPECT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  auto const wanted = [&](const std::string& mapped) {
    return name.empty() ? mapped == exe
                        : mapped.size() >= name.size() &&
                              mapped.compare(mapped.size() - name.size(), name.size(), name) == 0;
  };
  std::ifstream in("/proc/self/smaps");
  std::string line;
  std::string mapped;
  long kb = 0;
  while (std::getline(in, line)) {
    if (line.find('-') < line.find(' ')) {  // a mapping's first line: its range, then its file
      size_t const path = line.find(" /");
      mapped = path == std::string::npos ? std::string() : line.substr(path + 1);
    } else if (line.compare(0, 4, "Rss:") == 0 && wanted(mapped)) {
      kb += std::atol(line.c_str() + 4);
    }
  }
  return kb;
}

int written_after_start = 0;
// Read-only data, one page of it patched in place as a loader does for a text relocation.
alignas(4096) const char patched_read_only[3 * 4096] = {1};

TEST(StartupPages, TheExecutablesReadOnlyPagesGoAndItsWrittenDataStays)
{
  written_after_start = 42;
  volatile char* const page = const_cast<volatile char*>(&patched_read_only[4096]);
  ASSERT_EQ(0, ::mprotect(const_cast<char*>(page), 4096, PROT_READ | PROT_WRITE));
  *page = 42;
  ASSERT_EQ(0, ::mprotect(const_cast<char*>(page), 4096, PROT_READ));
  long const before = executable_rss_kb();
  long const ace_before = executable_rss_kb("/libACE-" ACE_VERSION ".so");
  EXPECT_GT(release_startup_pages(), 0u);
  EXPECT_LT(executable_rss_kb(), before);
  EXPECT_LT(executable_rss_kb("/libACE-" ACE_VERSION ".so"), ace_before) << "a library's go too";
  EXPECT_EQ(42, written_after_start) << "a written page was discarded";
  EXPECT_EQ(42, *page) << "a read-only segment's written page was discarded";
}

TEST(StartupReports, SystemInfoDescribesThisMachine)
{
  Host_Process h;
  ASSERT_TRUE(h.start({}, {{"LIBSYSTEMD_FILENAME", "0"}}));
  ASSERT_TRUE(h.wait_for_stderr("is started.\n"));
  stop(h);
  int const swappiness = machine_swappiness();
  EXPECT_EQ(expected_system_info(swappiness), line_starting(h.stderr_text(), "system info: "));
  if (swappiness >= 0) {
    EXPECT_EQ(std::string::npos, h.stderr_text().find(SWAPPINESS_FAILURE));
  }
}

TEST(StartupReports, BannerNamesTheComponentWhenThereIsOne)
{
  struct Row
  {
    const char* component;  // null: unset
    std::string want;
  };
  const Row rows[] = {{nullptr, banner("")}, {"", banner("")}, {"agent", banner("agent")}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.component ? row.component : "<unset>");
    Host_Process::Env env = {{"LIBSYSTEMD_FILENAME", "0"}};
    if (row.component != nullptr)
      env.push_back({"COMPONENT", row.component});
    Host_Process h;
    ASSERT_TRUE(h.start({}, env, {"COMPONENT"}));
    ASSERT_TRUE(h.wait_for_stderr("is started.\n"));
    stop(h);
    std::string const err = h.stderr_text();
    EXPECT_EQ(row.want, line_starting(err, "tessary3"));
    EXPECT_LT(err.find("system info: "), err.find(row.want)) << "the machine comes first";
  }
}

TEST(StartupReports, SwappinessAsTheFileHoldsIt)
{
  std::string const refusal = namespace_refusal();
  if (!refusal.empty())
    GTEST_SKIP() << "needs a private mount namespace to replace /proc/sys/vm/swappiness: "
                 << refusal;
  struct Row
  {
    const char* name;
    const char* content;  // null: no file at all
    int swappiness;
    int error;  // errno in the failure record; 0: no failure record
  };
  const Row rows[] = {
      {"usual", "60\n", 60, 0},           {"zero", "0\n", 0, 0},
      {"three digits", "100\n", 100, 0},  {"only three characters read", "1234\n", 123, 0},
      {"no digits", "abc\n", 0, 0},       {"empty file", "", -1, ENODATA},
      {"no file", nullptr, -1, ENOENT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Temp_Dir d;
    std::string const setup =
        row.content != nullptr
            ? "mount --bind '" + d.write("swappiness", row.content) + "' /proc/sys/vm/swappiness"
            : std::string("mount -t tmpfs tmpfs /proc/sys/vm");
    Host_Process h;
    ASSERT_TRUE(start_in_namespace(h, setup, {}, {{"LIBSYSTEMD_FILENAME", "0"}}));
    ASSERT_TRUE(h.wait_for_stderr("is started.\n")) << h.stderr_text();
    stop(h);
    std::string const err = h.stderr_text();
    EXPECT_EQ(expected_system_info(row.swappiness), line_starting(err, "system info: "));
    std::string const failure = line_starting(err, SWAPPINESS_FAILURE);
    if (row.error == 0) {
      EXPECT_EQ("", failure);
    } else {
      EXPECT_EQ(std::string(SWAPPINESS_FAILURE) + ", errno=" + std::to_string(row.error) +
                    ", " + std::strerror(row.error) + "\n",
                failure);
      EXPECT_LT(err.find(failure), err.find("system info: "));
    }
  }
}

TEST(HostNotifier, FakeLibraryGetsReadinessThenKeepAlives)
{
  Temp_Dir d;
  std::string const sent = d / "sent";
  Host_Process h;
  ASSERT_TRUE(h.start({}, {{"LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY},
                           {"FAKE_SD_WATCHDOG_USEC", "2000000"},
                           {"FAKE_SD_RECORD", sent}},
                      {"SD_NOTIFY_INTERVAL"}));
  ASSERT_TRUE(wait_for_file(sent, "WATCHDOG=1\n", seconds(30), 3)) << read_file(sent);
  EXPECT_EQ(0u, read_file(sent).find("READY=1\nWATCHDOG=1\n"));
  EXPECT_EQ(1u, count_of(read_file(sent), "READY=1\n"));

  std::string const err = h.stderr_text();
  size_t const every = err.find("<6>Notify systemd every 1000 ms.\n");
  ASSERT_NE(std::string::npos, every) << err;
  EXPECT_LT(err.find("system info: "), every);
  EXPECT_LT(every, err.find(banner("")));

  // A running notifier must not spoil the shutdown.
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();

  // Under the journal, debug output on, that line is the interval's one record.
  Host_Process j;
  ASSERT_TRUE(j.start({"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec " +
                                 std::string(STARTER_BINARY) + " -d"},
                      {{"LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY},
                       {"FAKE_SD_WATCHDOG_USEC", "2000000"},
                       {"FAKE_SD_RECORD", d / "sent2"}},
                      {"SD_NOTIFY_INTERVAL", "JOURNAL_STREAM"}, "/bin/sh"));
  ASSERT_TRUE(j.wait_for_stderr("is started")) << j.stderr_text();
  EXPECT_EQ(1u, count_of(j.stderr_text(), "Notify systemd every")) << j.stderr_text();
  ASSERT_TRUE(j.send(SIGTERM));
  ASSERT_TRUE(j.wait_exit());
}

/// A datagram socket at a path, standing in for systemd's notification socket.
class Notify_Socket
{
public:
  explicit Notify_Socket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM, 0))
  {
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Notify_Socket()
  {
    if (fd_ >= 0)
      ::close(fd_);
  }
  bool bound() const { return bound_; }

  /// The next message, or empty when none came before @a deadline.
  std::string receive(steady_clock::time_point deadline)
  {
    for (;;) {
      auto const left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
      if (left.count() <= 0)
        return "";
      pollfd p = {fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
        continue;
      char buf[4096];
      ssize_t const n = ::recv(fd_, buf, sizeof buf, 0);
      if (n > 0)
        return std::string(buf, static_cast<size_t>(n));
    }
  }

private:
  int fd_;
  bool bound_ = false;
};

/// Why the tests with the real client library cannot run here; empty when they can.
std::string real_client_library_refusal()
{
  void* const lib = ::dlopen("libsystemd.so.0", RTLD_LAZY);
  if (lib == nullptr)
    return "systemd's client library libsystemd.so.0 is not installed";
  ::dlclose(lib);
  std::string const refusal = namespace_refusal();
  if (!refusal.empty())
    return "needs a private mount namespace in which /run/systemd/system exists: " + refusal;
  return "";
}

TEST(HostNotifier, RealClientLibraryNotifiesThroughTheSocket)
{
  std::string const missing = real_client_library_refusal();
  if (!missing.empty())
    GTEST_SKIP() << missing;

  Temp_Dir d;
  Notify_Socket socket(d / "notify");
  ASSERT_TRUE(socket.bound());
  // The shell becomes the host, so its $$ is the process the watchdog is meant for.
  std::string const setup =
      "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system && export WATCHDOG_PID=$$";
  auto const start = steady_clock::now();
  Host_Process h;
  ASSERT_TRUE(start_in_namespace(h, setup, {},
                                 {{"NOTIFY_SOCKET", d / "notify"}, {"WATCHDOG_USEC", "2000000"}},
                                 {"LIBSYSTEMD_FILENAME", "SD_NOTIFY_INTERVAL", "WATCHDOG_PID"}));

  auto const deadline = start + seconds(30);
  std::vector<std::string> got;
  std::vector<std::string> status;
  while (got.size() < 4) {
    std::string const m = socket.receive(deadline);
    if (m.empty())
      break;
    (m.compare(0, 7, "STATUS=") == 0 ? status : got).push_back(m);
  }
  EXPECT_EQ(std::vector<std::string>{"STATUS=0 services open\n"}, status);
  auto const fourth = steady_clock::now();
  ASSERT_EQ(4u, got.size()) << h.stderr_text();
  EXPECT_EQ("READY=1\n", got[0]);
  EXPECT_EQ("WATCHDOG=1\n", got[1]);
  EXPECT_EQ("WATCHDOG=1\n", got[2]);
  EXPECT_EQ("WATCHDOG=1\n", got[3]);
  // A 2 s watchdog gives a keep-alive every second; two ticks cannot come before two seconds.
  EXPECT_NE(std::string::npos, h.stderr_text().find("<6>Notify systemd every 1000 ms.\n"));
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(fourth - start).count(), 1900);

  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

TEST(HostNotifier, WithoutWatchdogNothingIsSent)
{
  std::string const missing = real_client_library_refusal();
  if (!missing.empty())
    GTEST_SKIP() << missing;

  Temp_Dir d;
  Notify_Socket socket(d / "notify");
  ASSERT_TRUE(socket.bound());
  Host_Process h;
  ASSERT_TRUE(start_in_namespace(h, "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system",
                                 {}, {{"NOTIFY_SOCKET", d / "notify"}},
                                 {"LIBSYSTEMD_FILENAME", "WATCHDOG_USEC", "WATCHDOG_PID"}));
  ASSERT_TRUE(h.wait_for_stderr("is started.\n"));
  // The notifier is done before the banner, and a local datagram arrives as it is sent.
  EXPECT_EQ("", socket.receive(steady_clock::now() + milliseconds(200)));
  stop(h);
  EXPECT_EQ(1u, count_of(h.stderr_text(), "systemd watchdog is not enabled.\n"));
  EXPECT_EQ(std::string::npos, h.stderr_text().find("<6>Notify"));
}

TEST(HostNotifier, NeitherClientLibraryLoadsTwoWarningsThenRunsOn)
{
  void* const lib = ::dlopen("libsystemd.so.0", RTLD_LAZY);
  if (lib == nullptr)
    GTEST_SKIP() << "systemd's client library libsystemd.so.0 is not installed";
  link_map* map = nullptr;
  ASSERT_EQ(0, ::dlinfo(lib, RTLD_DI_LINKMAP, &map));
  std::string const path = map->l_name;
  ::dlclose(lib);
  if (void* const old = ::dlopen("libsystemd-daemon.so.0", RTLD_LAZY)) {
    ::dlclose(old);
    GTEST_SKIP() << "libsystemd-daemon.so.0 is installed, so the host would load it";
  }
  std::string const refusal = namespace_refusal();
  if (!refusal.empty())
    GTEST_SKIP() << "needs a private mount namespace to hide " << path << ": " << refusal;

  Host_Process h;
  ASSERT_TRUE(start_in_namespace(h, "mount --bind /dev/null '" + path + "'", {}, {},
                                 {"LIBSYSTEMD_FILENAME"}));
  ASSERT_TRUE(h.wait_for_stderr("is started.\n"));
  stop(h);
  std::string const err = h.stderr_text();
  std::string const first = line_starting(err, "Unable to load libsystemd.so.0, ");
  std::string const second = line_starting(err, "Unable to load libsystemd-daemon.so.0, ");
  EXPECT_NE("", first) << err;
  EXPECT_NE("", second) << err;
  EXPECT_LT(err.find(first), err.find(second));
  EXPECT_EQ(2u, count_of(err, "Unable to load"));
  EXPECT_NE(std::string::npos, err.find(banner(""))) << "the host runs on";
}

}  // namespace
