// The identity switch against the real binary: user, primary group and supplementary groups
// as /proc shows them, and the refusal to run when an asked-for switch cannot be completed.
// Switching identity needs root; the tests skip otherwise.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

const char REFUSAL[] = "Refusing to run with an incomplete identity switch.\n";

/// What /proc/PID/status says about a process's identity.
struct Ids
{
  std::vector<unsigned> uid;  ///< real, effective, saved, file system
  std::vector<unsigned> gid;
  std::set<unsigned> groups;
};

Ids read_ids(pid_t pid)
{
  Ids ids;
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line.substr(line.find(':') + 1));
    unsigned v;
    if (line.rfind("Uid:", 0) == 0)
      while (fields >> v)
        ids.uid.push_back(v);
    else if (line.rfind("Gid:", 0) == 0)
      while (fields >> v)
        ids.gid.push_back(v);
    else if (line.rfind("Groups:", 0) == 0)
      while (fields >> v)
        ids.groups.insert(v);
  }
  return ids;
}

std::vector<unsigned> all4(unsigned id)
{
  return {id, id, id, id};
}

class Identity : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (geteuid() != 0)
      GTEST_SKIP() << "switching user and groups needs root; these tests run only as root";
    // Each lookup reuses the library's static entry: copy the ids out at once.
    const passwd* const pw = getpwnam("nobody");
    if (pw == 0)
      GTEST_SKIP() << "needs the user nobody";
    nobody_ = pw->pw_uid;
    nobody_gid_ = pw->pw_gid;
    for (auto g : {std::make_pair("audio", &audio_), std::make_pair("video", &video_)}) {
      const group* const gr = getgrnam(g.first);
      if (gr == 0)
        GTEST_SKIP() << "needs the groups audio and video";
      *g.second = gr->gr_gid;
    }
    // The switched host reads the configuration and the probe writes its record here.
    if (!reachable_by_others(dir_.path()))
      GTEST_SKIP() << "the temporary directory " << dir_.path() << " lies where other users "
                   << "cannot reach it; set TMPDIR to one they can";
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));
    rec_ = dir_ / "rec";
    // A build tree may sit where nobody cannot look: the switched host loads a copy of the
    // probe, and a host started as nobody is a copy of the binary, both kept here.
    std::string const lib = dir_ / "probe_service.so";
    starter_ = dir_ / "starter";
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(PROBE_SERVICE_LIBRARY, lib, ec)) << ec.message();
    ASSERT_TRUE(std::filesystem::copy_file(STARTER_BINARY, starter_, ec)) << ec.message();
    ASSERT_EQ(0, chmod(lib.c_str(), 0755));
    ASSERT_EQ(0, chmod(starter_.c_str(), 0755));
    std::string line = probe_line("P", rec_);
    line.replace(line.find(PROBE_SERVICE_LIBRARY), std::strlen(PROBE_SERVICE_LIBRARY), lib);
    conf_ = dir_.write("p.conf", line);
    ASSERT_EQ(0, chmod(conf_.c_str(), 0644));
  }

  /// Whether users other than the owner may pass through every directory above @a path.
  static bool reachable_by_others(const std::string& path)
  {
    for (std::filesystem::path p = std::filesystem::path(path).parent_path();
         !p.empty() && p != p.parent_path(); p = p.parent_path()) {
      struct stat st;
      if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
        return false;
    }
    return true;
  }

  /// Starts the host with @a args and the probe, waits until the probe is open and returns
  /// the host's identity then.
  Ids run(std::vector<std::string> args)
  {
    args.push_back("-f");
    args.push_back(conf_);
    std::remove(rec_.c_str());
    Host_Process host;
    EXPECT_TRUE(host.start(args));
    EXPECT_TRUE(wait_for_file(rec_, "init P")) << host.stderr_text();
    Ids const ids = read_ids(host.pid());
    EXPECT_TRUE(host.send(SIGTERM));
    EXPECT_TRUE(host.wait_exit());
    EXPECT_EQ(0, host.exit_code()) << host.stderr_text();
    stderr_ = host.stderr_text();
    return ids;
  }

  Temp_Dir dir_;
  std::string rec_;
  std::string conf_;
  std::string starter_;  ///< the copy of the host binary
  std::string stderr_;  ///< of the last run()
  unsigned nobody_ = 0;
  unsigned nobody_gid_ = 0;
  unsigned audio_ = 0;
  unsigned video_ = 0;
};

TEST_F(Identity, UserByNameOrIdWithItsPrimaryGroup)
{
  for (const std::string& user : {std::string("nobody"), std::to_string(nobody_)}) {
    SCOPED_TRACE(user);
    Ids const ids = run({"--user", user});
    EXPECT_EQ(all4(nobody_), ids.uid);
    EXPECT_EQ(all4(nobody_gid_), ids.gid);
    EXPECT_EQ(1u, ids.groups.count(nobody_gid_));
    EXPECT_EQ(0u, ids.groups.count(0)) << "root's groups must be gone";
  }
}

TEST_F(Identity, PrimaryGroupReplacesTheUsers)
{
  Ids const ids = run({"--user", "nobody", "--primary-group", std::to_string(audio_)});
  EXPECT_EQ(all4(nobody_), ids.uid);
  EXPECT_EQ(all4(audio_), ids.gid);
  EXPECT_EQ(1u, ids.groups.count(audio_));
  EXPECT_EQ(0u, ids.groups.count(0));
}

TEST_F(Identity, SupplementaryGroupsJoinTheUsers)
{
  // Set before the user switch: afterwards the process could no longer change its groups.
  Ids const ids = run({"--user", "nobody", "--group", "audio"});
  EXPECT_EQ(all4(nobody_), ids.uid);
  EXPECT_EQ(all4(nobody_gid_), ids.gid);
  EXPECT_EQ(1u, ids.groups.count(audio_));
  EXPECT_EQ(1u, ids.groups.count(nobody_gid_));
  EXPECT_EQ(0u, ids.groups.count(0));
  EXPECT_EQ(0u, count_of(stderr_, "Failed to set supplementary groups"));
}

TEST_F(Identity, SupplementaryGroupsWithoutUser)
{
  Ids const ids = run({"--group", "audio", "--group", "no-such-group", "--group",
                       std::to_string(video_)});
  EXPECT_EQ(all4(0), ids.uid);
  EXPECT_EQ(1u, ids.groups.count(audio_));
  EXPECT_EQ(1u, ids.groups.count(video_));
  // A group that does not resolve is left out, and the host goes on.
  EXPECT_EQ(1u, count_of(stderr_,
                         "Failed to get no-such-group group entry, errno=2, "));
}

struct Refusal_Row
{
  std::vector<std::string> args;
  std::string record;
};

TEST_F(Identity, RefusesToRunWhenTheSwitchCannotBeCompleted)
{
  const Refusal_Row rows[] = {
    {{"--user", "nobody-such"}, "Failed to get nobody-such password entry, errno=2, "},
    {{"--user", "4242424"}, "Failed to get 4242424 password entry, errno=2, "},
    // The empty name is no id: it must not mean root.
    {{"--user", ""}, "Failed to get  password entry, errno=2, "},
    {{"--user", "nobody-such", "--group", "audio"},
     "Failed to get nobody-such password entry, errno=2, "},
    {{"--primary-group", "no-such-group"}, "Failed to get no-such-group group entry, errno=2, "},
    // A primary group asked for is never silently replaced by the user's.
    {{"--user", "nobody", "--primary-group", "no-such-group"},
     "Failed to get no-such-group group entry, errno=2, "},
    {{"--user", "root", "--primary-group", ""}, "Failed to get  group entry, errno=2, "},
  };
  for (const Refusal_Row& row : rows) {
    std::string trace;
    for (const std::string& a : row.args)
      trace += "'" + a + "' ";
    SCOPED_TRACE(trace);
    std::vector<std::string> args = row.args;
    args.push_back("-f");
    args.push_back(conf_);
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_NE(0, h.exit_code()) << h.stderr_text();
    std::string const err = h.stderr_text();
    EXPECT_EQ(1u, count_of(err, row.record)) << err;
    EXPECT_EQ(1u, count_of(err, REFUSAL)) << err;
    EXPECT_LT(err.find(row.record), err.find(REFUSAL));
    EXPECT_EQ(0u, count_of(err, "is started")) << err;
    EXPECT_EQ("", read_file(rec_)) << "no service may be opened";
  }
}

// --- Started as an unprivileged user ------------------------------------------------------

/// Runs the host binary @a starter as nobody (through setpriv) with @a args.
bool start_as_nobody(Host_Process& h, const std::string& starter,
                     const std::vector<std::string>& args)
{
  std::vector<std::string> a = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", starter};
  a.insert(a.end(), args.begin(), args.end());
  return h.start(a, Host_Process::Env(), std::vector<std::string>(), "/usr/bin/setpriv");
}

TEST_F(Identity, RefusesWhenTheSystemDeniesTheSwitch)
{
  if (access("/usr/bin/setpriv", X_OK) != 0 || getgrnam("nogroup") == 0)
    GTEST_SKIP() << "needs /usr/bin/setpriv and the group nogroup";
  const Refusal_Row rows[] = {
    {{"--user", "root"}, "Failed to set gid to 0, errno=1, "},
    {{"--primary-group", "root"}, "Failed to set gid to 0, errno=1, "},
  };
  for (const Refusal_Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1]);
    Host_Process h;
    ASSERT_TRUE(start_as_nobody(h, starter_, {row.args[0], row.args[1], "-f", conf_}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_NE(0, h.exit_code()) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), row.record)) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), REFUSAL)) << h.stderr_text();
    EXPECT_EQ("", read_file(rec_));
  }
}

TEST_F(Identity, DeniedSupplementaryGroupsAreLoggedAndTheHostGoesOn)
{
  if (access("/usr/bin/setpriv", X_OK) != 0 || getgrnam("nogroup") == 0)
    GTEST_SKIP() << "needs /usr/bin/setpriv and the group nogroup";
  Host_Process h;
  ASSERT_TRUE(start_as_nobody(h, starter_, {"--group", "audio", "-f", conf_}));
  ASSERT_TRUE(wait_for_file(rec_, "init P")) << h.stderr_text();
  EXPECT_EQ(0u, read_ids(h.pid()).groups.count(audio_));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());
  // Read once the host has ended: its standard error is then complete.
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Failed to set supplementary groups, errno=1, "))
      << h.stderr_text();
}

/// A user id with no entry and no process of its own; the process limit below counts every
/// process of the user, and other tests run hosts as nobody at the same time.
const char LONE_ID[] = "4242427";

/// Runs the host as LONE_ID allowed no further process, so that daemonizing cannot fork.
bool start_unable_to_fork(Host_Process& h, const std::string& starter,
                          const std::vector<std::string>& args)
{
  std::vector<std::string> a = {"--nproc=1", "/usr/bin/setpriv", std::string("--reuid=") + LONE_ID,
                                std::string("--regid=") + LONE_ID, "--clear-groups", starter};
  a.insert(a.end(), args.begin(), args.end());
  // The leak checker of a sanitizer build needs a thread of its own, which the limit forbids.
  const char* const asan = std::getenv("ASAN_OPTIONS");
  Host_Process::Env const env = {
      {"ASAN_OPTIONS", std::string(asan != 0 ? asan : "") + ":detect_leaks=0"}};
  return h.start(a, env, std::vector<std::string>(), "/usr/bin/prlimit");
}

TEST_F(Identity, FailedDetachingStopsTheHost)
{
  if (access("/usr/bin/setpriv", X_OK) != 0 || access("/usr/bin/prlimit", X_OK) != 0 ||
      getgrnam("nogroup") == 0)
    GTEST_SKIP() << "needs /usr/bin/setpriv, /usr/bin/prlimit and the group nogroup";
  if (getpwuid(static_cast<uid_t>(std::atol(LONE_ID))) != 0)
    GTEST_SKIP() << "the user id " << LONE_ID << " is in use here";
  // Running in the foreground instead would leave the launcher waiting, and skipping the
  // switch would run the services as whoever started the host.
  for (const char* option : {"--user", "--reactor"}) {
    SCOPED_TRACE(option);
    Host_Process h;
    ASSERT_TRUE(start_unable_to_fork(
        h, starter_,
        {"--background", option, option[2] == 'u' ? "nobody" : "select", "-f", conf_}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), "Failed to detach into the background, errno=11, "))
        << h.stderr_text();
    EXPECT_EQ("", read_file(rec_));
  }
}

// --- Long entries in the user and group databases ----------------------------------------

TEST_F(Identity, LookupsGrowTheirRoomForLongEntries)
{
  // Copies of the databases with entries longer than the room the system suggests, mounted
  // over the real ones in a private mount namespace.
  if (access("/usr/bin/unshare", X_OK) != 0 || system("/usr/bin/unshare -m true 2>/dev/null") != 0)
    GTEST_SKIP() << "needs a private mount namespace (unshare -m)";
  std::string members = "root";
  while (members.size() < 4096)
    members += ",member" + std::to_string(members.size());
  std::string const group = dir_.write(
      "group", read_file("/etc/group") + "biggrp:x:4240:" + members + "\nsmallgrp:x:4241:\n");
  std::string const passwd =
      dir_.write("passwd", read_file("/etc/passwd") + "biguser:x:4242:4240:" +
                               std::string(4096, 'g') + ":/nonexistent:/usr/sbin/nologin\n");
  std::remove(rec_.c_str());
  Host_Process h;
  ASSERT_TRUE(h.start({"-m", "/bin/sh", "-c",
                       "mount --bind \"$1\" /etc/group && mount --bind \"$2\" /etc/passwd && "
                       "shift 2 && exec \"$@\"",
                       "sh", group, passwd, starter_, "--user", "biguser", "--group", "smallgrp",
                       "-f", conf_},
                      Host_Process::Env(), std::vector<std::string>(), "/usr/bin/unshare"));
  ASSERT_TRUE(wait_for_file(rec_, "init P")) << h.stderr_text();
  Ids const ids = read_ids(h.pid());
  EXPECT_EQ(all4(4242), ids.uid);
  EXPECT_EQ(all4(4240), ids.gid);
  EXPECT_EQ(1u, ids.groups.count(4241)) << "the group after the long line";
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  EXPECT_EQ(0u, count_of(h.stderr_text(), "Failed")) << h.stderr_text();
}

}  // namespace
