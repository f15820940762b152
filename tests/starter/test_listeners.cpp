// The listener registry: keys, a held socket's queue kept across its service's close and
// handed to the next bind of its address; and the host under socket activation, where a
// request queued before it started is served and a service moved to another port lets the old
// one go.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "starter/listeners.h"
#include "support/host_process.h"
#include "support/temp_dir.h"
#include "support/time_request.h"

namespace {

sockaddr_in loopback(int port)
{
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

TEST(Listeners, KeyIsWhatWasBoundForTcpOfTheInternetFamiliesOnly)
{
  sockaddr_in const v4 = loopback(9000);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(9000);
  v6.sin6_addr = in6addr_loopback;
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  const struct
  {
    const sockaddr* a;
    socklen_t len;
    int type;
    const char* key;
  } rows[] = {
      {reinterpret_cast<const sockaddr*>(&v4), sizeof v4, SOCK_STREAM, "tcp 127.0.0.1:9000"},
      {reinterpret_cast<const sockaddr*>(&v4), sizeof v4, SOCK_STREAM | SOCK_CLOEXEC,
       "tcp 127.0.0.1:9000"},
      {reinterpret_cast<const sockaddr*>(&v6), sizeof v6, SOCK_STREAM, "tcp6 [::1]:9000"},
      {reinterpret_cast<const sockaddr*>(&v4), sizeof v4, SOCK_DGRAM, ""},
      {reinterpret_cast<const sockaddr*>(&v4), sizeof v4 - 1, SOCK_STREAM, ""},
      {reinterpret_cast<const sockaddr*>(&un), sizeof un, SOCK_STREAM, ""},
  };
  for (const auto& r : rows)
    EXPECT_EQ(r.key, listener_key(r.a, r.len, r.type)) << r.key;
  sockaddr_in const any = loopback(0);
  EXPECT_EQ("", listener_key(reinterpret_cast<const sockaddr*>(&any), sizeof any, SOCK_STREAM))
      << "an ephemeral port is nothing to hand back";
}

TEST(Listeners, QueueKeptAcrossTheServicesCloseAndHandedToTheNextBind)
{
  int const first = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, ::bind(first, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::listen(first, 8));
  ASSERT_EQ(0, ::getsockname(first, reinterpret_cast<sockaddr*>(&a), &len));
  int const lowest_free = ::dup(0);
  ::close(lowest_free);
  hold_listener(first);
  ASSERT_EQ(1u, held_listeners().size());
  rlimit limit{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &limit));
  int const next_free = ::dup(0);
  ::close(next_free);
  if (limit.rlim_cur > FD_SETSIZE) {
    EXPECT_EQ(lowest_free, next_free) << "the held copy took a number a select reactor watches";
  }

  // The service closes; a client connects in the gap and waits in the held queue.
  release_listener(first);
  ::close(first);
  EXPECT_FALSE(held_listeners()[0].claimed);
  int const client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a)) << "refused";

  int const again = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(claim_listener(again, reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_EQ(FD_CLOEXEC, ::fcntl(again, F_GETFD) & FD_CLOEXEC) << "the descriptor's flag is kept";
  EXPECT_NE(0, ::fcntl(again, F_GETFL) & O_NONBLOCK);
  int const other = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_FALSE(claim_listener(other, reinterpret_cast<sockaddr*>(&a), sizeof a))
      << "a claimed socket went to a second bind";
  hold_listener(again);
  ASSERT_EQ(1u, held_listeners().size()) << "held twice";
  EXPECT_TRUE(held_listeners()[0].claimed);
  EXPECT_TRUE(drop_unclaimed_listeners().empty());
  int const accepted = ::accept(again, 0, 0);
  EXPECT_GE(accepted, 0) << "the connection made in the gap was lost";

  // Closed and not claimed again: the port lets go.
  release_listener(again);
  ::close(again);
  std::vector<std::string> const dropped = drop_unclaimed_listeners();
  ASSERT_EQ(1u, dropped.size());
  EXPECT_EQ("tcp 127.0.0.1:" + std::to_string(ntohs(a.sin_port)), dropped[0]);
  EXPECT_TRUE(held_listeners().empty());
  int const late = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(0, ::connect(late, reinterpret_cast<sockaddr*>(&a), sizeof a));
  EXPECT_FALSE(adopt_listener(late)) << "adopted a socket that does not listen";
  for (int fd : {client, other, accepted, late})
    ::close(fd);
}

TEST(Listeners, SocketActivatedHostServesTheQueuedRequestAndLetsAMovedPortGo)
{
  std::vector<int> ports;
  std::string lines = netsvcs_lines(ports);
  lines += netsvcs_lines(ports);
  if (lines.empty() || ::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
    GTEST_SKIP() << "needs ACE's netsvcs and systemd-socket-activate";
  std::vector<std::string> services;
  for (size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1)
    services.push_back(lines.substr(at, lines.find('\n', at) - at + 1));
  Temp_Dir d;
  std::string const conf = d / "t.conf";
  std::ofstream(conf) << services[0];
  Host_Process host;
  ASSERT_TRUE(host.start({"-l", "0.0.0.0:" + std::to_string(ports[0]), STARTER_BINARY,
                          "--control", d / "ctl", "-f", conf},
                         {}, {}, "/usr/bin/systemd-socket-activate"));
  ASSERT_TRUE(host.wait_for_stderr("Listening on"));
  // Asked before the host runs: it waits in the socket's queue.
  EXPECT_TRUE(answers_the_time(ports[0])) << host.stderr_text();
  ASSERT_TRUE(host.wait_for_stderr("is started"));
  EXPECT_NE(std::string::npos, host.stderr_text().find("passed by systemd"));

  std::ofstream(conf) << services[2];
  ASSERT_TRUE(host.send(SIGHUP));
  ASSERT_TRUE(host.wait_for_stderr("Reloaded"));
  EXPECT_TRUE(answers_the_time(ports[2]));
  EXPECT_FALSE(accepts(ports[0])) << "the port the service left is still held";
  Host_Process ctl;
  ASSERT_TRUE(ctl.start({"--control", d / "ctl", "status"}, {}, {}, STARTERCTL_BINARY));
  ASSERT_TRUE(ctl.wait_exit());
  EXPECT_NE(std::string::npos, ctl.stdout_text().find(
      "listening tcp 0.0.0.0:" + std::to_string(ports[2]) + ": Time_Service"))
      << ctl.stdout_text();
  host.send(SIGTERM);
  EXPECT_TRUE(host.wait_exit());
  EXPECT_EQ(0, host.exit_code()) << host.stderr_text();
}

}  // namespace
