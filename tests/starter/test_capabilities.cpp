// Kept capabilities and the no-new-privileges flag against the real binary, with ACE's time
// service on a port below 1024: the sets every thread holds as /proc shows them, a reload that
// opens a second low port, and the refusal to run when a capability cannot be kept. Needs root.
#include <gtest/gtest.h>

#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <netsvcs/Time_Request_Reply.h>

#include "support/time_request.h"

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

const char REFUSAL[] = "Refusing to run with an incomplete identity switch.\n";

/// The capability and privilege lines of /proc/PID/task/TID/status for every thread of @a pid,
/// one "CapInh=... CapPrm=... CapEff=... CapBnd=... CapAmb=... NoNewPrivs=..." text each.
std::vector<std::string> thread_sets(pid_t pid)
{
  std::vector<std::string> sets;
  std::string const tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::istringstream in(read_file(task.path() / "status"));
    std::string s;
    for (std::string line; std::getline(in, line);)
      if (line.rfind("Cap", 0) == 0 || line.rfind("NoNewPrivs:", 0) == 0) {
        std::istringstream fields(line);
        std::string name;
        std::string value;
        fields >> name >> value;
        s += (s.empty() ? "" : " ") + name.substr(0, name.size() - 1) + "=" + value;
      }
    sets.push_back(s);
  }
  return sets;
}

/// A port below 1024 that nothing listens on; @a from keeps concurrent tests apart.
int free_low_port(int from)
{
  for (int p = from; p < 1024; ++p) {
    int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(p));
    bool const ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok)
      return p;
  }
  return -1;
}

std::string time_service_line(const std::string& name, int port)
{
  return "dynamic " + name + " Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p " +
         std::to_string(port) + "\"\n";
}

class Capabilities : public ::testing::Test
{
protected:
  void SetUp() override
  {
    if (geteuid() != 0)
      GTEST_SKIP() << "keeping capabilities across a user switch needs root";
    if (getpwnam("nobody") == 0 || getgrnam("nogroup") == 0 ||
        access("/usr/bin/setpriv", X_OK) != 0)
      GTEST_SKIP() << "needs the user nobody, the group nogroup and /usr/bin/setpriv";
    // The switched host reads the configuration, and nobody must reach it and the binary.
    for (std::filesystem::path p = dir_.path(); p != p.parent_path(); p = p.parent_path()) {
      struct stat st;
      if (p != dir_.path() && (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0))
        GTEST_SKIP() << dir_.path() << " lies where other users cannot reach it; set TMPDIR";
    }
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));  // the probe writes its record here
    starter_ = dir_ / "starter";
    std::filesystem::copy_file(STARTER_BINARY, starter_);
    std::filesystem::copy_file(PROBE_SERVICE_LIBRARY, dir_ / "probe_service.so");
    port_ = free_low_port(600 + getpid() % 300);
    ASSERT_LT(0, port_);
    rec_ = dir_ / "rec";
    conf_ = write_conf("a.conf", probe() + time_service_line("Time", port_));
  }

  /// The probe's line, naming the copy of the probe that nobody can load.
  std::string probe()
  {
    std::string line = probe_line("P", rec_);
    return line.replace(line.find(PROBE_SERVICE_LIBRARY), std::strlen(PROBE_SERVICE_LIBRARY),
                        dir_ / "probe_service.so");
  }

  std::string write_conf(const std::string& name, const std::string& text)
  {
    std::string const path = dir_.write(name, text);
    EXPECT_EQ(0, chmod(path.c_str(), 0644));
    return path;
  }

  /// Starts the copied host with @a args and the configuration, through @a wrapper's
  /// arguments when given.
  bool start(Host_Process& h, const std::vector<std::string>& args,
             std::vector<std::string> wrapper = {})
  {
    std::vector<std::string> a = args;
    a.push_back("-f");
    a.push_back(conf_);
    if (wrapper.empty())
      return h.start(a, {}, {}, starter_);
    wrapper.push_back(starter_);
    wrapper.insert(wrapper.end(), a.begin(), a.end());
    return h.start(wrapper, {}, {}, "/usr/bin/setpriv");
  }

  /// Stops @a h and expects a clean end.
  void stop(Host_Process& h)
  {
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  }

  Temp_Dir dir_;
  std::string starter_;  ///< a copy of the host binary that nobody can run
  std::string rec_;
  std::string conf_;
  int port_ = -1;
};

struct Kept_Row
{
  std::vector<std::string> wrapper;  ///< setpriv's arguments, to start as systemd would
  std::vector<std::string> args;
  const char* sets;  ///< of every thread
  bool serves;       ///< the time service opens its low port
};

TEST_F(Capabilities, EveryThreadHoldsExactlyTheKeptCapabilities)
{
  const Kept_Row rows[] = {
    {{}, {"--user", "nobody", "--capability", "net_bind_service"},
     "CapInh=0000000000000000 CapPrm=0000000000000400 CapEff=0000000000000400 "
     "CapBnd=0000000000000400 CapAmb=0000000000000000 NoNewPrivs=0",
     true},
    // Staying root reduces root; names in any case, with or without the prefix.
    {{}, {"--reactor", "tp", "--threads", "3", "--no-new-privileges", "--capability",
      "NET_BIND_SERVICE", "--capability=cap_net_raw"},
     "CapInh=0000000000000000 CapPrm=0000000000002400 CapEff=0000000000002400 "
     "CapBnd=0000000000002400 CapAmb=0000000000000000 NoNewPrivs=1",
     true},
    // Without --capability nothing is kept, and nothing else changes.
    {{}, {"--user", "nobody"}, 0, false},
    // systemd's User= and AmbientCapabilities=: the host keeps what it was given.
    {{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--inh-caps=+net_bind_service",
      "--ambient-caps=+net_bind_service", "--bounding-set=-all,+net_bind_service"},
     {"--reactor", "select"},
     "CapInh=0000000000000400 CapPrm=0000000000000400 CapEff=0000000000000400 "
     "CapBnd=0000000000000400 CapAmb=0000000000000400 NoNewPrivs=0",
     true},
  };
  std::string const own = thread_sets(getpid())[0];
  std::string const bound = own.substr(own.find("CapBnd="), 23);
  for (const Kept_Row& row : rows) {
    SCOPED_TRACE(row.args.back());
    std::remove(rec_.c_str());
    Host_Process h;
    ASSERT_TRUE(start(h, row.args, row.wrapper));
    ASSERT_TRUE(h.wait_for_stderr("is started.")) << h.stderr_text();  // every service opened
    std::string const open_failed =
        "acceptor::open failed: Permission denied on port " + std::to_string(port_);
    if (row.serves) {
      EXPECT_TRUE(answers_the_time(port_)) << h.stderr_text();
    } else {
      EXPECT_TRUE(h.wait_for_stderr(open_failed)) << h.stderr_text();
    }
    for (const std::string& sets : thread_sets(h.pid()))
      if (row.sets != 0)
        EXPECT_EQ(row.sets, sets);
      else
        EXPECT_EQ("CapInh=0000000000000000 CapPrm=0000000000000000 CapEff=0000000000000000 " +
                      bound + " CapAmb=0000000000000000 NoNewPrivs=0",
                  sets);
    stop(h);
    EXPECT_EQ(row.serves ? 0u : 1u, count_of(h.stderr_text(), open_failed));
  }
}

TEST_F(Capabilities, ReloadOpensAnotherLowPort)
{
  Host_Process h;
  ASSERT_TRUE(start(h, {"--user", "nobody", "--capability", "net_bind_service"}));
  // Not before: the configuration is still being read, and a SIGHUP would come too early.
  ASSERT_TRUE(h.wait_for_stderr("is started.")) << h.stderr_text();
  int const second = free_low_port(port_ + 1);
  ASSERT_LT(0, second);
  write_conf("a.conf", probe() + time_service_line("Time", port_) +
                           time_service_line("Time2", second));
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(wait_for_file(rec_, "init P", std::chrono::seconds(20), 2)) << h.stderr_text();
  // The probe opens first: the time services after it are open once the reload says so.
  ASSERT_TRUE(h.wait_for_stderr("Reloaded: ")) << h.stderr_text();
  EXPECT_TRUE(answers_the_time(second)) << h.stderr_text();
  EXPECT_TRUE(answers_the_time(port_)) << h.stderr_text();
  stop(h);
  EXPECT_EQ(0u, count_of(h.stderr_text(), "failed")) << h.stderr_text();
}

struct Refusal_Row
{
  std::vector<std::string> wrapper;  ///< setpriv's arguments, to start with less
  std::vector<std::string> args;
  std::string record;
};

TEST_F(Capabilities, RefusesToRunWhenACapabilityCannotBeKept)
{
  const Refusal_Row rows[] = {
    {{}, {"--user", "nobody", "--capability", "net_bind_servic"},
     "Failed to keep capability 'net_bind_servic': unknown capability name\n"},
    {{}, {"--capability", "12"}, "Failed to keep capability '12': unknown capability name\n"},
    {{"--bounding-set", "-net_bind_service"},
     {"--user", "nobody", "--capability", "net_bind_service"},
     "Failed to keep capability cap_net_bind_service: the process does not hold it\n"},
    // Held, but the bounding set cannot be reduced without CAP_SETPCAP.
    {{"--bounding-set", "-setpcap"}, {"--user", "nobody", "--capability", "net_bind_service"},
     "Failed to drop cap_chown from the bounding set, errno=1, "},
  };
  for (const Refusal_Row& row : rows) {
    SCOPED_TRACE(row.record);
    std::remove(rec_.c_str());
    Host_Process h;
    ASSERT_TRUE(start(h, row.args, row.wrapper));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
    std::string const err = h.stderr_text();
    EXPECT_EQ(1u, count_of(err, row.record)) << err;
    EXPECT_EQ(1u, count_of(err, REFUSAL)) << err;
    EXPECT_LT(err.find(row.record), err.find(REFUSAL));
    EXPECT_EQ("", read_file(rec_)) << "no service may be initialised";
  }
}

}  // namespace
