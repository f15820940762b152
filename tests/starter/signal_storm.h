// A storm of reconfiguration and debug-toggle signals against a running host, then one stop.
// Shared by the tests that rerun it for every reactor kind and thread count.
#ifndef TESTS_STARTER_SIGNAL_STORM_H
#define TESTS_STARTER_SIGNAL_STORM_H

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

/// Starts the host with @a host_args plus a probe service with a 20 ms timer, sends @a count
/// signals alternating SIGHUP and SIGUSR2 as fast as it can, checks the host stays up and its
/// timers keep firing, then stops it with SIGTERM and expects exit status 0.
inline void run_signal_storm(const std::vector<std::string>& host_args, int count = 3000)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("storm.conf", probe_line("Storm", rec, "-t 20"));
  std::vector<std::string> args = host_args;
  args.push_back("-f");
  args.push_back(d / "storm.conf");

  Host_Process h;
  ASSERT_TRUE(h.start(args));
  ASSERT_TRUE(wait_for_file(rec, "timeout Storm")) << h.stderr_text();
  for (int i = 0; i < count; ++i)
    ASSERT_TRUE(h.send(i % 2 == 0 ? SIGHUP : SIGUSR2)) << "host gone after " << i << " signals\n"
                                                       << h.stderr_text();
  // Still alive, and still dispatching: fresh timer callbacks after the storm.
  EXPECT_FALSE(h.wait_exit(std::chrono::milliseconds(200))) << h.stderr_text();
  size_t const ticks = count_of(read_file(rec), "timeout Storm");
  EXPECT_TRUE(wait_for_file(rec, "timeout Storm", std::chrono::seconds(60), ticks + 3))
      << h.stderr_text().substr(0, 4000);
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit(std::chrono::seconds(60)));
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text().substr(0, 4000);
  EXPECT_GE(count_of(h.stderr_text(), "caught, and reconfiguring"), 1u);
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Signal 15 (Terminated) caught in ["));
}

#endif /* TESTS_STARTER_SIGNAL_STORM_H */
