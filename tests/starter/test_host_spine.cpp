// The host end to end: services opened from a configuration directory in byte order, the
// loop running when services fail, the examples serving, and what an uncaught exception does.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

TEST(HostSpine, OpensDirectoryServicesInByteOrderAndFinalisesThem)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.mkdir("conf.d");
  d.write("conf.d/20-b.conf", probe_line("B", rec));
  d.write("conf.d/10-a.conf", probe_line("A", rec));
  d.write("conf.d/30-c.conf.off", probe_line("C", rec));
  d.write("conf.d/Z-upper.conf", probe_line("Z", rec));

  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "conf.d"}));
  ASSERT_TRUE(wait_for_file(rec, "init Z"));
  std::vector<std::string> const inits = lines_starting(rec, "init");
  ASSERT_EQ(3u, inits.size());
  EXPECT_NE(std::string::npos, inits[0].find(" A pid="));
  EXPECT_NE(std::string::npos, inits[1].find(" B pid="));
  EXPECT_NE(std::string::npos, inits[2].find(" Z pid="));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

TEST(HostSpine, LoopRunsWhenServicesFailToOpen)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("bad.conf", probe_line("Bad", rec, "-F") +
                          "dynamic Nope Service_Object * /no/such/lib.so:_make_X() \"\"\n");
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "bad.conf", "-f", d / "missing.conf"}));
  ASSERT_TRUE(wait_for_file(rec, "init Bad"));
  // Still running well after the failures.
  EXPECT_FALSE(h.wait_exit(std::chrono::milliseconds(700)));
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

TEST(HostSpine, ExampleConfigurationServesTheNetworkServices)
{
  // The examples' directives as written, each on a port free now rather than its own.
  Temp_Dir d;
  d.mkdir("conf.d");
  std::vector<int> ports;
  for (const char* f : {"10-time.conf", "20-name.conf"}) {
    std::string text = read_file(std::string(STARTER_SOURCE_DIR) + "/examples/conf.d/" + f);
    size_t const at = text.find("-p 20");
    ASSERT_NE(std::string::npos, at) << f;
    ports.push_back(free_port());
    ASSERT_NE(0, ports.back());
    text.replace(at, text.find('"', at) - at, "-p " + std::to_string(ports.back()));
    d.write(std::string("conf.d/") + f, text);
  }
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "conf.d"}));
  EXPECT_TRUE(accepts(ports[0])) << "time service\n" << h.stderr_text();
  EXPECT_TRUE(accepts(ports[1])) << "name service\n" << h.stderr_text();
  ASSERT_TRUE(h.send(SIGINT));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

/// A connection to the loopback @a port, or -1.
int connect_to(int port)
{
  if (!accepts(port))
    return -1;
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    return fd;
  ::close(fd);
  return -1;
}

/// What comes back on @a fd within a few seconds after @a text is sent: "" at the peer's close.
std::string reply(int fd, const std::string& text)
{
  if (!text.empty() && ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
    return "send failed";
  pollfd p{fd, POLLIN, 0};
  char buf[256];
  ssize_t const n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -1;
  return n < 0 ? "nothing" : std::string(buf, size_t(n));
}

// The template a service author copies, as its own configuration file names it: it answers on
// every reactor kind, and a reload closes the connections it had and opens it again.
TEST(HostSpine, TemplateServiceEchoesAndClosesItsConnectionsOnReload)
{
  std::string const lib = ECHO_SERVICE_LIBRARY;
  Host_Process::Env const env{{"LD_LIBRARY_PATH", lib.substr(0, lib.rfind('/'))}};
  std::string const conf = std::string(STARTER_SOURCE_DIR) + "/examples/echo_service/echo.conf";
  for (const std::vector<std::string>& reactor : std::vector<std::vector<std::string>>{
           {}, {"--reactor", "select"}, {"--reactor", "tp", "--threads", "2"},
           {"--reactor", "priority"}, {"--reactor", "dev_poll"}}) {
    SCOPED_TRACE(reactor.empty() ? "default" : reactor[1]);
    std::vector<std::string> args = reactor;
    args.insert(args.end(), {"-f", conf});
    Host_Process h;
    ASSERT_TRUE(h.start(args, env));
    int const before = connect_to(20107);
    EXPECT_EQ("ping\n", reply(before, "ping\n")) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGHUP));
    ASSERT_TRUE(h.wait_for_stderr("Reloaded: 1 service open")) << h.stderr_text();
    EXPECT_EQ("", reply(before, "")) << "closed by the service's fini";
    int const after = connect_to(20107);
    EXPECT_EQ("pong\n", reply(after, "pong\n")) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
    ::close(before);
    ::close(after);
  }
}

// The template out of descriptors: its acceptor pauses instead of spinning a loop thread, says
// so once, and serves again once descriptors are free; its reporter thread reports, and a
// reload ends it before a new one starts. The control socket, out of descriptors too, still
// answers once and says so once.
TEST(HostSpine, TemplateServicePausesAtTheDescriptorLimitAndEndsItsThreadInFini)
{
#if defined(__SANITIZE_ADDRESS__)
  // Their runtime checks memory through a pipe of its own, and reports any object it cannot
  // read that way once the descriptors run out.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  for (const char* reactor : {"", "--reactor tp --threads 2"}) {
    SCOPED_TRACE(*reactor != 0 ? reactor : "default");
    Temp_Dir d;
    int const port = free_port();
    std::string const conf = d.write("echo.conf", "dynamic Echo Service_Object * " ECHO_SERVICE_LIBRARY
        ":_make_Echo_Service() \"-p " + std::to_string(port) + " -r 1\"\n");
    Host_Process h;
    ASSERT_TRUE(h.start({"-c", std::string("ulimit -n 64 && exec " STARTER_BINARY " ") + reactor +
                                   " --control " + d / "ctl" + " -f " + conf},
                        {}, {}, "/bin/sh"));
    ASSERT_TRUE(h.wait_for_stderr("Serving the control socket")) << h.stderr_text();
    // Clients in waves, as a burst's handshakes may be dropped, until the host runs out.
    std::vector<int> clients;
    while (clients.size() < 400 && count_of(h.stderr_text(), "echo service: cannot accept") == 0) {
      for (int i = 0; i < 8; ++i) {
        clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::connect(clients.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(h.wait_for_stderr("echo service: cannot accept on port")) << h.stderr_text();
    // The control socket answers on the descriptor it keeps in reserve; then, out of
    // descriptors for good, it fails each second and says so once.
    int status = -1;
    std::string const out = run_command(STARTERCTL_BINARY " --timeout 5 --control " + d / "ctl" +
                                            " status", status);
    EXPECT_EQ(0, status) << out;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
      sockaddr_un u{};
      u.sun_family = AF_UNIX;
      std::strncpy(u.sun_path, (d / "ctl").c_str(), sizeof u.sun_path - 1);
      (void)::connect(clients.back(), reinterpret_cast<sockaddr*>(&u), sizeof u);
    }
    double const before = cpu_seconds(h.pid());
    std::this_thread::sleep_for(seconds(3));
    EXPECT_LT(cpu_seconds(h.pid()) - before, 0.5) << "a loop thread spins at the limit";
    std::string const err = h.stderr_text();
    EXPECT_EQ(1u, count_of(err, "echo service: cannot accept on port")) << err;
    EXPECT_EQ(1u, count_of(err, "cannot accept, errno=24")) << err;
    EXPECT_TRUE(h.wait_for_stderr("connection(s) open")) << "no report from the reporter thread";
    for (int fd : clients)
      ::close(fd);
    int const late = connect_to(port);
    EXPECT_EQ("late\n", reply(late, "late\n")) << h.stderr_text();
    ::close(late);
    size_t const threads = task_count(h.pid());
    ASSERT_TRUE(h.send(SIGHUP));
    ASSERT_TRUE(h.wait_for_stderr("Reloaded: 1 service open")) << h.stderr_text();
    EXPECT_EQ(threads, task_count(h.pid())) << "the old reporter thread outlived its fini";
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  }
}

struct Throw_Case
{
  const char* kind;
  const char* record;
};

TEST(HostSpine, UncaughtExceptionIsLoggedThenAborts)
{
  for (const Throw_Case& c :
       {Throw_Case{"std", "Unhandled exception is caught, boom; in [starter]"},
        Throw_Case{"int", "Unknown/unhandled exception is caught; in [starter]"}}) {
    SCOPED_TRACE(c.kind);
    Temp_Dir d;
    std::string const rec = d / "rec";
    d.write("t.conf", probe_line("T", rec, std::string("-t 50 -x ") + c.kind));
    Host_Process h;
    ASSERT_TRUE(h.start({"-f", d / "t.conf"}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(SIGABRT, h.term_signal()) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), c.record)) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), "libprobe_service.so, which serves T\n")) << h.stderr_text();
    EXPECT_EQ(0u, count_of(h.stderr_text(), "the back trace")) << "one record, not two";
  }
}

}  // namespace
