// The listener registry: keys, a held socket's queue kept across its service's close and
// handed to the next bind of its address; the host under socket activation, where a request
// queued before it started is served and a service moved to another port lets the old one go;
// and systemd's descriptor store, from the host to the manager and back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

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
  sockaddr_in all = loopback(65535);
  all.sin_addr.s_addr = htonl(INADDR_ANY);
  sockaddr_in wide = loopback(1);
  wide.sin_addr.s_addr = htonl(0x0a6409ffu);  // 10.100.9.255: each width of a number
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
      {reinterpret_cast<const sockaddr*>(&all), sizeof all, SOCK_STREAM, "tcp 0.0.0.0:65535"},
      {reinterpret_cast<const sockaddr*>(&wide), sizeof wide, SOCK_STREAM, "tcp 10.100.9.255:1"},
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

  int const datagram = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_FALSE(claim_listener(datagram, reinterpret_cast<sockaddr*>(&a), sizeof a))
      << "a datagram socket bound to the held address took the listener";
  ::close(datagram);
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

  // No descriptor left for the held copy: the record names the limit (its number once went in
  // as the next text's address).
  int const crowded = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in b = loopback(0);
  ASSERT_EQ(0, ::bind(crowded, reinterpret_cast<sockaddr*>(&b), sizeof b));
  ASSERT_EQ(0, ::listen(crowded, 8));
  rlimit low = limit;
  low.rlim_cur = static_cast<rlim_t>(crowded) + 1;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
  std::ostringstream records;
  ACE_Log_Msg* const log = ACE_Log_Msg::instance();
  unsigned long const flags = log->flags();
  ACE_OSTREAM_TYPE* const stream = log->msg_ostream();
  log->msg_ostream(&records, false);
  log->clr_flags(ACE_Log_Msg::STDERR);
  log->set_flags(ACE_Log_Msg::OSTREAM);
  hold_listener(crowded);
  log->clr_flags(ACE_Log_Msg::OSTREAM);
  log->set_flags(flags);
  log->msg_ostream(stream, false);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_NE(std::string::npos, records.str().find("the descriptor limit is " +
                                                  std::to_string(crowded + 1) + " (raise it"))
      << records.str();
  EXPECT_TRUE(held_listeners().empty());
  ::close(crowded);
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

/// The service manager's end of NOTIFY_SOCKET: the datagrams the host sends, with the
/// descriptor each carries.
class Manager_Socket
{
public:
  explicit Manager_Socket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
  {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    (void)::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~Manager_Socket() { ::close(fd_); }

  /// Waits for a message that holds @a text: true, with the descriptor it carried (-1 when
  /// none, inherited by children otherwise) in @a passed; false when none came within 10 s.
  bool wait_for(const std::string& text, int& passed)
  {
    for (;;) {
      char data[4096];
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4) + CMSG_SPACE(sizeof(ucred))];
      iovec v{data, sizeof data};
      msghdr m{};
      m.msg_iov = &v;
      m.msg_iovlen = 1;
      m.msg_control = control;
      m.msg_controllen = sizeof control;
      ssize_t const n = ::recvmsg(fd_, &m, 0);
      if (n < 0)
        return false;
      passed = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != 0; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
          std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
      if (std::string(data, size_t(n)).find(text) != std::string::npos)
        return true;
      if (passed >= 0)
        ::close(passed);
    }
  }

private:
  int fd_;
};

/// A descriptor of @a fd numbered 100 or above, so that a child's "3<&N" cannot collide.
int high(int fd)
{
  int const h = ::fcntl(fd, F_DUPFD, 100);
  ::close(fd);
  return h;
}

// The host keeps systemd's descriptor store equal to what it holds, each socket under a name
// made of its address; started again with them, it serves what queued meanwhile. What it is
// passed that is no listening TCP socket, or that no service binds, it closes and takes out of
// the store by the name it came with.
TEST(FdStore, HeldSocketsGoToTheStoreByNameAndComeBackWhatIsForeignIsClosed)
{
  if (::dlopen("libsystemd.so.0", RTLD_LAZY) == 0)
    GTEST_SKIP() << "needs systemd's client library";
  Temp_Dir d;
  Manager_Socket manager(d / "notify");
  int const port = free_port();
  std::string const name = "tcp_127.0.0.1-" + std::to_string(port);
  std::string const conf = d.write("e.conf", "dynamic Echo Service_Object * " ECHO_SERVICE_LIBRARY
      ":_make_Echo_Service() \"-p " + std::to_string(port) + " -a 127.0.0.1 -r 0\"\n");
  std::vector<std::string> const unset{"LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES", "LIBSYSTEMD_FILENAME"};
  int stored = -1;
  {
    Host_Process h;
    ASSERT_TRUE(h.start({"-f", conf}, {{"NOTIFY_SOCKET", d / "notify"}}, unset));
    ASSERT_TRUE(manager.wait_for("FDSTORE=1\nFDNAME=" + name + "\n", stored)) << h.stderr_text();
    ASSERT_LE(0, stored);
    sockaddr_in a{};
    socklen_t size = sizeof a;
    int listening = 0;
    socklen_t lsize = sizeof listening;
    ASSERT_EQ(0, ::getsockname(stored, reinterpret_cast<sockaddr*>(&a), &size));
    EXPECT_EQ(port, ntohs(a.sin_port));
    ASSERT_EQ(0, ::getsockopt(stored, SOL_SOCKET, SO_ACCEPTCONN, &listening, &lsize));
    EXPECT_EQ(1, listening) << "the store got a socket that does not listen";
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
  }
  // No host now: a client waits in the stored socket's queue.
  stored = high(stored);
  int const client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in const at = loopback(port);
  ASSERT_EQ(0, ::connect(client, reinterpret_cast<const sockaddr*>(&at), sizeof at));
  ASSERT_EQ(5, ::send(client, "kept\n", 5, MSG_NOSIGNAL));
  // Passed back with a datagram socket and a listener no service binds.
  int const datagram = high(::socket(AF_INET, SOCK_DGRAM, 0));
  int const unclaimed = high(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in u = loopback(0);
  socklen_t usize = sizeof u;
  ASSERT_EQ(0, ::bind(unclaimed, reinterpret_cast<sockaddr*>(&u), sizeof u));
  ASSERT_EQ(0, ::listen(unclaimed, 5));
  ASSERT_EQ(0, ::getsockname(unclaimed, reinterpret_cast<sockaddr*>(&u), &usize));
  std::string const other = "127.0.0.1:" + std::to_string(ntohs(u.sin_port));
  Host_Process h;
  ASSERT_TRUE(h.start({"-c", "export LISTEN_PID=$$; exec " STARTER_BINARY " -f " + conf + " 3<&" +
                                 std::to_string(stored) + " 4<&" + std::to_string(datagram) +
                                 " 5<&" + std::to_string(unclaimed)},
                      {{"NOTIFY_SOCKET", d / "notify"}, {"LISTEN_FDS", "3"},
                       {"LISTEN_FDNAMES", name + ":junk:" + name + "0"}},
                      unset, "/bin/bash"));
  for (int fd : {stored, datagram, unclaimed})
    ::close(fd);
  int none = -1;
  EXPECT_TRUE(manager.wait_for("FDSTOREREMOVE=1\nFDNAME=junk\n", none)) << h.stderr_text();
  EXPECT_TRUE(manager.wait_for("FDSTOREREMOVE=1\nFDNAME=tcp_127.0.0.1-" + other.substr(10) + "\n", none))
      << h.stderr_text();
  timeval tv{5, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char echoed[8] = {};
  EXPECT_EQ(5, ::recv(client, echoed, sizeof echoed, MSG_WAITALL)) << h.stderr_text();
  EXPECT_STREQ("kept\n", echoed);
  ::close(client);
  std::string const err = h.stderr_text();
  EXPECT_NE(std::string::npos, err.find("Holding the listening socket on tcp 127.0.0.1:" +
                                        std::to_string(port) + ", passed by systemd")) << err;
  EXPECT_NE(std::string::npos, err.find("Descriptor 4 passed by systemd (junk) is not a listening TCP "
                                        "socket of its own address: closed")) << err;
  EXPECT_NE(std::string::npos, err.find("Closed the listening socket on tcp " + other)) << err;
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << err;
}

}  // namespace
