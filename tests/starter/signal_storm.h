// A storm of reconfiguration and debug-toggle signals against a running host with clients
// connected to ACE's network services, then one stop. Shared by the tests that rerun it for
// every reactor kind and thread count.
#ifndef TESTS_STARTER_SIGNAL_STORM_H
#define TESTS_STARTER_SIGNAL_STORM_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

/// A connection to a loopback port, held for the object's life.
struct Client
{
  explicit Client(int port) : fd(::socket(AF_INET, SOCK_STREAM, 0))
  {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  Client(Client&& o) noexcept : fd(o.fd) { o.fd = -1; }
  ~Client()
  {
    if (fd >= 0)
      ::close(fd);
  }
  int fd;
};

/// Starts the host with @a host_args plus a probe service with a 20 ms timer and, where they
/// are installed, the netsvcs time and logging services with a client connected to each;
/// sends @a count signals alternating SIGHUP and SIGUSR2 as fast as it can, then @a paced
/// SIGHUPs 20 ms apart, each a reload of its own; checks the host stays up, its timers keep
/// firing and the network services still accept, then stops it
/// with SIGTERM and expects exit status 0. Every reload replaces the network services'
/// acceptors while other threads may be dispatching.
inline void run_signal_storm(const std::vector<std::string>& host_args, int count = 3000,
                             int paced = 25)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::vector<int> ports;
  d.write("storm.conf", probe_line("Storm", rec, "-t 20") + netsvcs_lines(ports));
  std::vector<std::string> args = host_args;
  args.push_back("-f");
  args.push_back(d / "storm.conf");

  Host_Process h;
  ASSERT_TRUE(h.start(args));
  ASSERT_TRUE(wait_for_file(rec, "timeout Storm")) << h.stderr_text();
  std::vector<Client> clients;
  for (int port : ports) {
    ASSERT_TRUE(accepts(port)) << port << "\n" << h.stderr_text();
    clients.emplace_back(port);
  }
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(h.send(i % 2 == 0 ? SIGHUP : SIGUSR2)) << "host gone after " << i << " signals\n"
                                                       << h.stderr_text();
  for (int i = 0; i < paced; ++i) {
    ASSERT_TRUE(h.send(SIGHUP)) << "host gone after " << i << " paced reloads\n"
                                << h.stderr_text().substr(0, 4000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Still alive, and still dispatching: fresh timer callbacks after the storm.
  EXPECT_FALSE(h.wait_exit(std::chrono::milliseconds(200))) << h.stderr_text();
  size_t const ticks = count_of(read_file(rec), "timeout Storm");
  EXPECT_TRUE(wait_for_file(rec, "timeout Storm", std::chrono::seconds(60), ticks + 3))
      << h.stderr_text().substr(0, 4000);
  for (int port : ports)
    EXPECT_TRUE(accepts(port)) << port << "\n" << h.stderr_text().substr(0, 4000);
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit(std::chrono::seconds(60)));
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text().substr(0, 4000);
  EXPECT_GE(count_of(h.stderr_text(), "caught, and reconfiguring"), 1u);
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Signal 15 (Terminated) caught in ["));
  EXPECT_EQ(0u, count_of(h.stderr_text(), "Interrupted system call"));
  if (ports.empty())
    GTEST_SKIP() << "no netsvcs library was found at build time: ran with the probe alone";
}

#endif /* TESTS_STARTER_SIGNAL_STORM_H */
