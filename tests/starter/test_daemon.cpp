// Daemon mode against the real binary: "--background" and the Service Configurator's "-b"
// both detach once, before the services open. The launching process exits 0 at once; the
// daemon runs from "/", writes the pid file asked for with "-p", hosts the probe service and
// stops on SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>
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
  std::vector<std::string> args = GetParam();
  for (const char* a : {"--reactor", "select", "-p"})
    args.push_back(a);
  args.push_back(pid_file);
  args.push_back("-f");
  args.push_back(d.write("p.conf", probe_line("P", rec, "-t 20")));

  Host_Process launcher;
  ASSERT_TRUE(launcher.start(args));
  ASSERT_TRUE(launcher.wait_exit(seconds(20)));
  EXPECT_EQ(0, launcher.exit_code()) << launcher.stderr_text();

  ASSERT_TRUE(wait_for_file(pid_file, "\n")) << "no pid file";
  Daemon_Guard daemon;
  daemon.pid = static_cast<pid_t>(std::atol(read_file(pid_file).c_str()));
  ASSERT_GT(daemon.pid, 0);
  EXPECT_NE(launcher.pid(), daemon.pid);

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

}  // namespace
