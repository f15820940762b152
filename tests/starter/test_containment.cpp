// A misbehaving service against the real host: a fini that throws on a reload or a restart, a
// service that failed to open, a reload whose new service cannot open. The host lives, the
// other services run on, and every outcome says which service and why.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

struct Ctl
{
  std::string out;
  int status;
};

Ctl starterctl(const std::string& control, const std::string& args)
{
  Ctl c{"", -1};
  c.out = run_command(STARTERCTL_BINARY " --control " + control + " " + args, c.status);
  return c;
}

/// A loopback port held by a listening socket of the test's own (closed by the caller).
int held_port(int& fd)
{
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  return ntohs(a.sin_port);
}

/// A loopback connection to @a port in @a fd (closed by the caller).
bool connected(int port, int& fd)
{
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

struct Row
{
  const char* mode;
  const char* reactor;
};

class Containment : public ::testing::TestWithParam<Row>
{
protected:
  void SetUp() override
  {
    netsvcs = netsvcs_lines(ports);
    if (ports.empty())
      GTEST_SKIP() << "no netsvcs library";
  }

  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const ctl = d / "ctl";
  std::vector<int> ports;
  std::string netsvcs;  ///< ACE's time and logging services, each on a port of ports

  /// The host's arguments for this row, its control socket at @a ctl, its file @a conf.
  std::vector<std::string> args(const std::string& ctl, const std::string& conf) const
  {
    std::vector<std::string> a = {"--reload", GetParam().mode, "--control", ctl, "-f", conf};
    if (std::string(GetParam().reactor) != "default")
      a.insert(a.begin(), {"--reactor", GetParam().reactor, "--threads", "2"});
    return a;
  }
};

TEST_P(Containment, ThrowingFiniFailedOpenAndRolledBackReload)
{
  bool const changed = std::string(GetParam().mode) == "changed";
  std::string const time_port = std::to_string(ports[0]);
  auto conf = [&](const std::string& a_options, const std::string& b_options, const std::string& more) {
    d.write("a.conf", netsvcs + probe_line("A", rec, a_options) + probe_line("B", rec, b_options) + more);
  };
  std::string const failing = d.write("failing", "");
  conf("-t 20 -T std", "-G " + failing, "");
  // A fini that threw leaves its object undeleted, and ACE's parser loses the node of a
  // directive whose service failed: left on purpose, a sanitizer build is told so.
  std::string const lost = d.write("lsan.supp", "leak:libACE\nleak:libprobe_service\n");
  Host_Process h;
  ASSERT_TRUE(h.start(args(ctl, d / "a.conf"), {{"LSAN_OPTIONS", "suppressions=" + lost}}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();

  // B failed to open: listed as failed, with its directive and why.
  Ctl c = starterctl(ctl, "status");
  EXPECT_NE(std::string::npos, c.out.find("failed  " + d / "a.conf:4")) << c.out;
  EXPECT_NE(std::string::npos, c.out.find("its init failed")) << c.out;

  // A changed (its fini throws) and B's cause gone: the reload goes on, B is opened again, the
  // exception counts as an error of the reload.
  conf("-t 20 -T int", "-G " + failing, "");
  std::remove(failing.c_str());
  c = starterctl(ctl, "reload");
  EXPECT_EQ(2, c.status) << c.out;
  EXPECT_NE(std::string::npos, c.out.find(changed ? "Reloaded with 1 error: 0 opened, 2 re-opened, 0 removed, 2 unchanged; 4 services open"
                                                  : "Reloaded with 1 error: 4 services open")) << c.out;
  EXPECT_TRUE(h.wait_for_stderr("The fini of service 'A' threw an exception: fini boom\n")) << h.stderr_text();
  if (changed) {
    EXPECT_TRUE(h.wait_for_stderr("Reload: re-opened B (it was not open)\n")) << h.stderr_text();
  }
  c = starterctl(ctl, "restart A");
  EXPECT_EQ(2, c.status) << c.out;
  EXPECT_TRUE(h.wait_for_stderr("The fini of service 'A' threw an exception of unknown type\n"));

  // The time service moved to a port it cannot bind, and a new service that fails: rolled
  // back, the time service serving its old port again.
  int fd = -1;
  int const taken = held_port(fd);
  ASSERT_GT(taken, 0);
  std::string moved = netsvcs;
  moved.replace(moved.find("-p " + time_port), 3 + time_port.size(), "-p " + std::to_string(taken));
  d.write("a.conf", moved + probe_line("A", rec, "-t 20 -T int") + probe_line("B", rec, "-G " + failing) +
                        probe_line("C", rec, "-X std"));
  size_t const a_inits = lines_starting(rec, "init A").size();
  c = starterctl(ctl, "reload");
  EXPECT_EQ(1, c.status) << c.out;
  // A, unchanged, is opened by the "all" reload and then left as it is: once, not twice.
  EXPECT_EQ(a_inits + (changed ? 0 : 1), lines_starting(rec, "init A").size()) << read_file(rec);
  EXPECT_NE(std::string::npos, c.out.find("rolled back: Reload rolled back: Time_Service did not open (")) << c.out;
  EXPECT_NE(std::string::npos, c.out.find("; the running services are unchanged")) << c.out;
  ::close(fd);
  EXPECT_TRUE(accepts(ports[0])) << "the time service is not back on its port";
  c = starterctl(ctl, "status");
  EXPECT_EQ(std::string::npos, c.out.find("\nC ")) << c.out;
  size_t const ticks = lines_starting(rec, "timeout A").size();
  EXPECT_TRUE(wait_for_file(rec, "timeout A", std::chrono::seconds(20), ticks + 2));

  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(2, h.exit_code()) << "A's fini throws at the stop too\n" << h.stderr_text();
}

// A service that leaves a thread running after its fini, its library replaced (mv) before a
// reload: the old copy stays loaded for the old thread, which runs on, beside the new code; so
// after a restart and the service's removal. The stop neither waits for those threads nor
// tears down what they run.
TEST_P(Containment, AThreadLeftRunningKeepsItsCodeAndObject)
{
  bool const changed = std::string(GetParam().mode) == "changed";
  std::string const lib = d / "libleft.so";
  auto install = [&lib](const char* from) {
    return std::system(("cp " + std::string(from) + " " + lib + ".tmp && mv " + lib + ".tmp " + lib).c_str()) == 0;
  };
  ASSERT_TRUE(install(PROBE_SERVICE_LIBRARY));
  std::string const a = "dynamic A Service_Object * " + lib + ":_make_Probe_Service() \"-o " + rec + " -n A -L\"\n";
  // ACE's thread-per-connection logging service: a handler thread runs while its client stays.
  std::string const netsvcs_lib = netsvcs.substr(netsvcs.find("* ") + 2, netsvcs.find(":_make") - netsvcs.find("* ") - 2);
  int const thr_port = free_port();
  std::string const thr_logger = "dynamic Thr_Logger Service_Object * " + netsvcs_lib +
                                 ":_make_ACE_Thr_Server_Logging_Acceptor() \"-p " + std::to_string(thr_port) + "\"\n";
  d.write("a.conf", netsvcs + thr_logger + a + probe_line("B", rec, "-t 20"));
  Host_Process h;
  ASSERT_TRUE(h.start(args(ctl, d / "a.conf")));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();

  std::string const left = "Service 'A' left 1 thread running after its fini: the host keeps its object and its library " + lib;
  std::string const with_a = netsvcs + thr_logger + a + probe_line("B", rec, "-t 20");
  struct Step
  {
    const char* install;  ///< the library put in place first, or null
    const char* command;
    std::string conf;
  };
  // The second replacement finds two copies kept under that path.
  Step const steps[] = {{PROBE_SERVICE_V2_LIBRARY, "reload", with_a},
                        {PROBE_SERVICE_LIBRARY, "reload", with_a},
                        {nullptr, "restart A", with_a},
                        {nullptr, "reload", netsvcs + thr_logger + (changed ? "" : "remove A\n") + probe_line("B", rec, "-t 20")}};
  size_t n = 0;
  for (const Step& s : steps) {
    ++n;
    ASSERT_TRUE(s.install == nullptr || install(s.install));
    d.write("a.conf", s.conf);
    size_t const old_rounds = count_of(read_file(rec), " version=1\n");
    Ctl const c = starterctl(ctl, s.command);
    EXPECT_EQ(0, c.status) << s.command << c.out;
    EXPECT_TRUE(h.wait_for_stderr(left, std::chrono::seconds(20), n)) << s.command << h.stderr_text();
    EXPECT_TRUE(wait_for_file(rec, " version=1\n", std::chrono::seconds(20), old_rounds + 3))
        << s.command << ": the old thread no longer runs its own code";
    EXPECT_TRUE(accepts(ports[0])) << s.command << ": the time service does not answer";
  }
  std::string inits;
  for (const std::string& l : lines_starting(rec, "init A"))
    inits += l.substr(l.find(" version=") + 9, 1);
  EXPECT_EQ("1211", inits) << "each reload loads the file in place, the restart the running copy";
  EXPECT_TRUE(wait_for_file(rec, " version=2\n")) << "the new copy's thread does not run";
  size_t const ticks = lines_starting(rec, "timeout B").size();
  EXPECT_TRUE(wait_for_file(rec, "timeout B", std::chrono::seconds(20), ticks + 2));

  // The stop, a logging client still connected: no wait for its handler's thread.
  int fd = -1;
  size_t const accepted = count_of(h.stderr_text(), "accepted connection from host");
  ASSERT_TRUE(connected(thr_port, fd));
  ASSERT_TRUE(h.wait_for_stderr("accepted connection from host", std::chrono::seconds(20), accepted + 1))
      << h.stderr_text();
  ASSERT_TRUE(h.send(SIGTERM));
  EXPECT_TRUE(h.wait_exit(std::chrono::seconds(10)));
  ::close(fd);
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), "1 thread running the code of " + netsvcs_lib + ", started by its services outside their init")) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Stopping with 5 threads the services left running")) << h.stderr_text();
}

// A library overwritten in place (cp onto the loaded file) is never opened again: the reload,
// the check and a restart are refused naming the file and the fix, and the stop does not call
// into the damaged copy.
TEST(ContainmentLibrary, OverwrittenInPlaceIsRefusedNotOpened)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const ctl = d / "ctl";
  std::string const lib = d / "libprobe.so";
  ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_LIBRARY " " + lib).c_str()));
  d.write("a.conf", "dynamic A Service_Object * " + lib + ":_make_Probe_Service() \"-o " + rec +
                        " -n A\"\n" + probe_line("B", rec, "-t 20"));
  Host_Process h;
  ASSERT_TRUE(h.start({"--control", ctl, "-f", d / "a.conf"}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_V2_LIBRARY " " + lib).c_str()));

  std::string const why = lib + ": overwritten in place while its services run";
  for (const char* command : {"reload", "check", "restart A"}) {
    Ctl const c = starterctl(ctl, command);
    EXPECT_EQ(1, c.status) << command << c.out;
    EXPECT_NE(std::string::npos, c.out.find(std::string(command) == "restart A" ? lib + " was overwritten in place" : why))
        << command << c.out;
  }
  EXPECT_TRUE(h.send(SIGHUP));
  EXPECT_TRUE(h.wait_for_stderr(lib + ": the running copy may be damaged by the overwrite", std::chrono::seconds(20), 2));
  EXPECT_EQ(1u, lines_starting(rec, "init A").size());
  size_t const ticks = lines_starting(rec, "timeout B").size();
  EXPECT_TRUE(wait_for_file(rec, "timeout B", std::chrono::seconds(20), ticks + 2));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Service 'A' is not finalised: its library " + lib));
  EXPECT_EQ(1u, lines_starting(rec, "fini B").size()) << "the others are finalised";
}

// A "suspend" directive for ACE's time service suspends no handler of the host's own, a reload
// re-creates it without a clash on its port, and a service that takes SIGINT through the
// reactor leaves it the host's.
TEST_P(Containment, SuspendDirectiveAndStopSignalsStayTheHosts)
{
  d.write("a.conf", netsvcs + probe_line("S", rec, "-t 20 -R 2") + "suspend Time_Service\n");
  {
    Host_Process check;
    ASSERT_TRUE(check.start({"--check", "--strict", "-f", d / "a.conf"}));
    ASSERT_TRUE(check.wait_exit());
    EXPECT_EQ(0, check.exit_code()) << check.stderr_text();
    EXPECT_EQ(1u, count_of(check.stderr_text(), d / "a.conf:4: suspend Time_Service: the host keeps the "
                                                    "suspension to this service")) << check.stderr_text();
  }
  Host_Process h;
  ASSERT_TRUE(h.start(args(ctl, d / "a.conf")));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  EXPECT_TRUE(h.wait_for_stderr("Service 'S' changed the disposition of signal 2 (Interrupt)"));
  for (size_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(h.send(SIGHUP));
    ASSERT_TRUE(h.wait_for_stderr("Reloaded: ", std::chrono::seconds(20), n)) << h.stderr_text();
  }
  EXPECT_EQ(0u, count_of(h.stderr_text(), "did not open")) << h.stderr_text();
  Ctl const c = starterctl(ctl, "status");
  EXPECT_NE(std::string::npos, c.out.find("suspended")) << c.out;
  EXPECT_TRUE(accepts(ports[1])) << "the logging service is suspended too";
  size_t const ticks = lines_starting(rec, "timeout S").size();
  EXPECT_TRUE(wait_for_file(rec, "timeout S", std::chrono::seconds(20), ticks + 2));
  ASSERT_TRUE(h.send(SIGINT));
  ASSERT_TRUE(h.wait_exit(std::chrono::seconds(10)));
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

// A control socket whose server no longer accepts (stopped, its backlog full): a second host
// says it is served at once, and starterctl gives up after its timeout.
TEST(ContainmentControl, AServerThatDoesNotAcceptIsNotWaitedForEver)
{
  Temp_Dir d;
  std::string const path = d / "ctl";
  int const server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  ASSERT_EQ(0, ::bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::listen(server, 0));
  std::vector<int> clients;
  for (int i = 0; i < 64; ++i) {
    int const c = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    clients.push_back(c);
    if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      break;  // the backlog is full
  }
  Host_Process h;
  ASSERT_TRUE(h.start({"--control", path, "-f", d.write("a.conf", "")}));
  EXPECT_TRUE(h.wait_for_stderr("another process serves the socket there", std::chrono::seconds(10)))
      << h.stderr_text();
  Ctl const c = starterctl(path, "--timeout 1 status");
  EXPECT_EQ(3, c.status) << c.out;
  for (int fd : clients)
    ::close(fd);
  ::close(server);
}

// A library the check of a refused reload loaded is not kept: a new file installed at its path
// is what the next reload opens.
TEST(ContainmentLibrary, ARefusedReloadKeepsNoLibraryLoaded)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const lib = d / "libnew.so";
  ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_LIBRARY " " + lib).c_str()));
  std::string const b = "dynamic B Service_Object * " + lib + ":_make_Probe_Service() \"-o " + rec + " -n B\"\n";
  d.write("a.conf", probe_line("A", rec));
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "a.conf"}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  d.write("a.conf", probe_line("A", rec) + b + "garbage\n");
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("Reload refused: 1 error")) << h.stderr_text();
  ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_V2_LIBRARY " " + lib + ".tmp && mv " + lib + ".tmp " + lib).c_str()));
  d.write("a.conf", probe_line("A", rec) + b);
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("Reloaded: 2 services open\n")) << h.stderr_text();
  EXPECT_EQ(1u, count_of(read_file(rec), "init B pid=")) << read_file(rec);
  EXPECT_EQ(1u, count_of(read_file(rec), " version=2 ")) << read_file(rec);
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

// Two services built from copies of one source, the same class name in each: each runs its
// own library's code.
TEST(ContainmentLibrary, EachCopyRunsItsOwnCode)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("a.conf", "dynamic One Service_Object * " COPIED_SERVICE_ONE ":_make_Copied_Service() \"" +
                        rec + "\"\ndynamic Two Service_Object * " COPIED_SERVICE_TWO
                        ":_make_Copied_Service() \"" + rec + "\"\n");
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "a.conf"}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  EXPECT_EQ("one\ntwo\n", read_file(rec));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

INSTANTIATE_TEST_SUITE_P(Kinds, Containment,
                         ::testing::Values(Row{"changed", "default"}, Row{"changed", "tp"},
                                           Row{"changed", "dev_poll"}, Row{"all", "default"},
                                           Row{"all", "select"}, Row{"all", "priority"}),
                         [](const ::testing::TestParamInfo<Row>& i) {
                           return std::string(i.param.mode) + "_" + i.param.reactor;
                         });

}  // namespace
