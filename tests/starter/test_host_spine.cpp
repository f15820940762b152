// The host end to end: services opened from a configuration directory in byte order, the
// loop running when services fail, the examples serving, and what an uncaught exception does.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", std::string(STARTER_SOURCE_DIR) + "/examples/conf.d"}));
  EXPECT_TRUE(accepts(20222)) << "time service\n" << h.stderr_text();
  EXPECT_TRUE(accepts(20006)) << "name service\n" << h.stderr_text();
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
