// Reloads against the real host: in "changed" mode an unchanged service keeps its sockets and
// is neither finalised nor initialised; each library loads once per start-up; a library file
// replaced by rename is picked up by a reload in both modes, on every reactor kind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

/// The inodes of the sockets process @a pid has open.
std::set<std::string> socket_inodes(pid_t pid)
{
  std::set<std::string> inodes;
  std::string const dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* const d = opendir(dir.c_str());
  if (d == 0)
    return inodes;
  while (dirent* e = readdir(d)) {
    char target[256];
    ssize_t const n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).compare(0, 7, "socket:") == 0)
      inodes.insert(std::string(target, static_cast<size_t>(n)));
  }
  closedir(d);
  return inodes;
}

/// Copies @a from to @a to through a temporary name and a rename, as a deployment does.
void install(const std::string& from, const std::string& to)
{
  std::string const tmp = to + ".new";
  ASSERT_EQ(0, std::system(("cp " + from + " " + tmp).c_str()));
  ASSERT_EQ(0, std::rename(tmp.c_str(), to.c_str()));
}

struct Mode_Row
{
  const char* mode;
  const char* reactor;
};

class ReloadModes : public ::testing::TestWithParam<Mode_Row>
{
};

TEST_P(ReloadModes, TouchOnlyWhatChangedAndLoadNewCode)
{
  bool const changed = std::string(GetParam().mode) == "changed";
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const loads = d / "loads";
  std::string const lib = d.mkdir("lib") + "/libprobe.so";
  install(PROBE_SERVICE_LIBRARY, lib);
  std::string const dir = d.mkdir("conf.d");
  auto probe = [&](const std::string& name) {
    return "dynamic " + name + " Service_Object * " + lib + ":_make_Probe_Service() \"-o " + rec +
           " -n " + name + "\"\n";
  };
  d.write("conf.d/a.conf", probe("A"));
  std::vector<int> ports;
  d.write("conf.d/t.conf", netsvcs_lines(ports));

  std::vector<std::string> args = {"--reload", GetParam().mode, "-f", dir};
  if (std::string(GetParam().reactor) != "default")
    args.insert(args.begin(), {"--reactor", GetParam().reactor, "--threads", "2"});
  Host_Process h;
  ASSERT_TRUE(h.start(args, {{"PROBE_LOADS", loads}}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  std::set<std::string> const sockets = socket_inodes(h.pid());
  EXPECT_EQ(1u, lines_starting(loads, "load version=1").size()) << "one load per start-up";

  // Unchanged: nothing finalised, nothing loaded.
  std::string const same = changed ? "Reloaded: 0 opened, 0 re-opened, 0 removed, 3 unchanged; 3 services open\n"
                                   : "Reloaded: 3 services open\n";
  for (size_t n = 1; n <= 3; ++n) {
    ASSERT_TRUE(h.send(SIGHUP));
    ASSERT_TRUE(h.wait_for_stderr(same, std::chrono::seconds(20), n)) << h.stderr_text();
  }
  EXPECT_EQ(1u, lines_starting(loads, "load ").size()) << read_file(loads);
  EXPECT_EQ(changed ? 0u : 3u, lines_starting(rec, "fini A").size());

  // Added, then new code in the library's place: the probe's services open on it.
  d.write("conf.d/b.conf", probe("B"));
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr(changed ? "Reload: opened B from " + dir + "/b.conf:1\n"
                                        : std::string("Reloaded: 4 services open\n")))
      << h.stderr_text();
  install(PROBE_SERVICE_V2_LIBRARY, lib);
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("Reload: re-opened B: its library changed\n")) << h.stderr_text();
  ASSERT_TRUE(h.wait_for_stderr(changed ? "Reloaded: 0 opened, 2 re-opened, 0 removed, 2 unchanged; 4 services open\n"
                                        : "Reloaded: 4 services open\n", std::chrono::seconds(20),
                                changed ? 1 : 2)) << h.stderr_text();
  EXPECT_EQ(1u, lines_starting(loads, "load version=2").size()) << read_file(loads);
  EXPECT_EQ(2u, count_of(read_file(rec), " version=2 ")) << read_file(rec);

  // Removed: finalised, and the others untouched.
  std::remove((dir + "/b.conf").c_str());
  ASSERT_TRUE(h.send(SIGHUP));
  if (changed) {
    ASSERT_TRUE(h.wait_for_stderr("Reload: removed B\n")) << h.stderr_text();
    // The time service's listening socket is the one it opened at start-up.
    std::set<std::string> const now = socket_inodes(h.pid());
    for (const std::string& s : sockets)
      EXPECT_EQ(1u, now.count(s)) << s << " closed by a reload";
  }
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReloadModes,
                         ::testing::Values(Mode_Row{"changed", "default"}, Mode_Row{"changed", "select"},
                                           Mode_Row{"changed", "tp"}, Mode_Row{"changed", "priority"},
                                           Mode_Row{"changed", "dev_poll"}, Mode_Row{"all", "default"}),
                         [](const ::testing::TestParamInfo<Mode_Row>& i) {
                           return std::string(i.param.mode) + "_" + i.param.reactor;
                         });

}  // namespace
