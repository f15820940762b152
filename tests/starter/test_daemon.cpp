// Daemon mode against the real binary: "--background" and the Service Configurator's "-b"
// both detach once, before the services open. The launching process exits once the services
// are open, with 0, or with 1 when the start failed; the daemon keeps the umask, runs from "/",
// writes the pid file asked for with "-p" (relative paths taken from where it was started),
// hosts the probe service, stops on SIGTERM and removes its pid file.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

/// Whether @a pid has ended (a zombie nobody reaps counts as ended).
bool gone(pid_t pid)
{
  if (kill(pid, 0) != 0)
    return errno == ESRCH;
  std::string const status = read_file("/proc/" + std::to_string(pid) + "/status");
  return status.find("State:\tZ") != std::string::npos || status.empty();
}

bool wait_gone(pid_t pid, std::chrono::milliseconds timeout)
{
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  while (!gone(pid)) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

/// Kills a daemon that a failing test left running.
struct Daemon_Guard
{
  pid_t pid = 0;
  ~Daemon_Guard()
  {
    if (pid > 0 && !gone(pid))
      kill(pid, SIGKILL);
  }
};

class Daemon : public ::testing::TestWithParam<std::vector<std::string>>
{
};

TEST_P(Daemon, DetachesOnceAndRunsTheServices)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const pid_file = d / "starter.pid";
  d.mkdir("conf.d");
  d.write("conf.d/p.conf", probe_line("P", rec, "-t 20"));
  // A link planted at the pid path is replaced, never followed.
  std::string const victim = d.write("victim", "precious\n");
  ASSERT_EQ(0, symlink(victim.c_str(), pid_file.c_str()));
  // Started from the temporary directory with relative paths and a umask of 027.
  std::vector<std::string> args = {"-c", "cd \"$0\" && umask 027 && exec \"$@\"", d.path(),
                                   STARTER_BINARY};
  args.insert(args.end(), GetParam().begin(), GetParam().end());
  for (const char* a : {"--reactor", "select", "-p", "starter.pid", "-f", "conf.d"})
    args.push_back(a);

  Host_Process launcher;
  ASSERT_TRUE(launcher.start(args, Host_Process::Env(), std::vector<std::string>(), "/bin/sh"));
  ASSERT_TRUE(launcher.wait_exit(seconds(20)));
  EXPECT_EQ(0, launcher.exit_code()) << launcher.stderr_text();
  // The launcher ends once the services are open, not before.
  EXPECT_EQ(1u, count_of(read_file(rec), "init P"));
  EXPECT_EQ(1u, count_of(launcher.stderr_text(), "is started")) << launcher.stderr_text();

  struct stat st;
  ASSERT_EQ(0, lstat(pid_file.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ("precious\n", read_file(victim));
  Daemon_Guard daemon;
  daemon.pid = static_cast<pid_t>(std::atol(read_file(pid_file).c_str()));
  ASSERT_GT(daemon.pid, 0);
  EXPECT_NE(launcher.pid(), daemon.pid);
  std::string const status = read_file("/proc/" + std::to_string(daemon.pid) + "/status");
  EXPECT_NE(std::string::npos, status.find("Umask:\t0027\n")) << status;

  // The services run in the process the pid file names, from "/", and its loop dispatches.
  ASSERT_TRUE(wait_for_file(rec, "timeout P", seconds(20), 3));
  std::vector<std::string> const inits = lines_starting(rec, "init P");
  ASSERT_EQ(1u, inits.size());
  EXPECT_NE(std::string::npos, inits[0].find(" pid=" + std::to_string(daemon.pid) + " "))
      << inits[0];
  EXPECT_NE(std::string::npos, (inits[0] + " ").find(" cwd=/ ")) << inits[0];

  ASSERT_EQ(0, kill(daemon.pid, SIGTERM));
  EXPECT_TRUE(wait_for_file(rec, "fini P"));
  EXPECT_TRUE(wait_gone(daemon.pid, seconds(20)));
  EXPECT_EQ(1u, count_of(read_file(rec), "fini P"));
  EXPECT_FALSE(exists(pid_file)) << "the pid file outlived a clean stop";
}

// A start that fails, before detaching or after, is seen where the host was started: the
// launcher prints why and exits 1, and no pid file is left behind.
TEST(DaemonStart, TheLauncherReportsAFailedStart)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const bad = d.write("bad.conf", probe_line("Bad", rec, "-F"));
  struct Row
  {
    std::vector<std::string> args;
    std::string record;
  } const rows[] = {
    {{"--user", "no-such-user"}, "Refusing to run with an incomplete identity switch.\n"},
    {{"--threads", "2x", "--reactor", "tp"}, "Malformed --threads '2x'"},
    {{"--strict", "-f", bad}, "Failed to open the services, and --strict is given: stopping\n"},
    {{"--strict", "-p", d / "no/dir/x.pid"}, "Failed to create the pid file '" + d / "no/dir/x.pid"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    std::vector<std::string> args = {"--background", "-p", d / "x.pid"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    Host_Process launcher;
    ASSERT_TRUE(launcher.start(args));
    ASSERT_TRUE(launcher.wait_exit(seconds(20)));
    EXPECT_EQ(1, launcher.exit_code()) << launcher.stderr_text();
    EXPECT_EQ(1u, count_of(launcher.stderr_text(), row.record)) << launcher.stderr_text();
    EXPECT_FALSE(exists(d / "x.pid"));
  }
}

std::string daemon_case_name(const ::testing::TestParamInfo<std::vector<std::string>>& info)
{
  static const char* const names[] = {"background", "b", "grouped_nb", "both"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(DaemonOptions, Daemon,
                         ::testing::Values(std::vector<std::string>{"--background"},
                                           std::vector<std::string>{"-b"},
                                           std::vector<std::string>{"-d", "-nb"},
                                           std::vector<std::string>{"-b", "--background"}),
                         daemon_case_name);

TEST(PidFile, OneHostHoldsItAStaleOneIsReplaced)
{
  Temp_Dir d;
  std::string const pid = d / "starter.pid";
  std::string const conf = d.write("p.conf", probe_line("P", d / "rec"));
  // Left by a host that died: it names a process that does not run, and nobody holds it.
  d.write("starter.pid", "999999999\n");
  Host_Process first;
  ASSERT_TRUE(first.start({"-p", pid, "-f", conf}));
  ASSERT_TRUE(first.wait_for_stderr("is started")) << first.stderr_text();
  std::string const first_pid = std::to_string(first.pid()) + "\n";
  EXPECT_EQ(first_pid, read_file(pid));

  // A second host, with and without --strict, refuses and names the first; the file stays.
  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict);
    Host_Process second;
    std::vector<std::string> args = {"-p", pid, "-f", conf};
    if (strict)
      args.insert(args.begin(), "--strict");
    ASSERT_TRUE(second.start(args));
    ASSERT_TRUE(second.wait_exit());
    EXPECT_EQ(1, second.exit_code()) << second.stderr_text();
    EXPECT_EQ(1u, count_of(second.stderr_text(), "The pid file '" + pid + "' is held by a running "
                                                 "host (pid " + std::to_string(first.pid()) + ")"))
        << second.stderr_text();
    EXPECT_EQ(0u, count_of(second.stderr_text(), "is started")) << second.stderr_text();
    EXPECT_EQ(first_pid, read_file(pid));
  }
  ASSERT_TRUE(first.send(SIGTERM));
  ASSERT_TRUE(first.wait_exit());
  EXPECT_EQ(0, first.exit_code()) << first.stderr_text();
  EXPECT_FALSE(exists(pid));
}

TEST(PidFile, SignalledAsSoonAsItAppearsTheHostStopsCleanly)
{
  // A supervisor that signals the moment the file is renamed into place.
  Temp_Dir d;
  std::string const conf = d.write("p.conf", "");
  int deaths = 0;
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    std::string const name = "h" + std::to_string(i) + ".pid";
    int const in = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(inotify_add_watch(in, d.path().c_str(), IN_MOVED_TO), 0);
    Host_Process h;
    ASSERT_TRUE(h.start({"-p", d / name, "-f", conf}));
    bool seen = false;
    char buf[4096] __attribute__((aligned(8)));
    for (pollfd p{in, POLLIN, 0}; !seen && ::poll(&p, 1, 10000) == 1;) {
      ssize_t const n = ::read(in, buf, sizeof buf);
      for (ssize_t at = 0; at < n;) {
        const inotify_event* const e = reinterpret_cast<const inotify_event*>(buf + at);
        seen = seen || (e->len > 0 && name == e->name);
        at += sizeof *e + e->len;
      }
    }
    ::close(in);
    ASSERT_TRUE(seen) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    deaths += h.term_signal() == SIGTERM;
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
    EXPECT_FALSE(exists(d / name));
  }
  EXPECT_EQ(0, deaths);
}

}  // namespace
