// The host's own options against the real binary: the reactor and thread records, the pool
// really running its loop threads, every reactor kind hosting a service, and pool threads
// surviving the host's signals.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "scrt/unprivileged.h"
#include "starter/signal_storm.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::seconds;

const char STARTED[] = "is started.\n";

/// The thread ids of the probe's timer callbacks recorded in @a rec.
std::set<std::string> timeout_tids(const std::string& rec)
{
  std::set<std::string> tids;
  for (const std::string& line : lines_starting(rec, "timeout"))
    tids.insert(line.substr(line.find(" tid=") + 5));
  return tids;
}

/// Stops @a h with SIGTERM and expects a clean exit.
void stop_cleanly(Host_Process& h)
{
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit(seconds(60))) << h.stderr_text();
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

// --- What the host logs for its options ----------------------------------------------------

struct Record_Row
{
  std::vector<std::string> args;
  std::vector<std::string> present;  ///< each exactly once
  std::vector<std::string> absent;
};

TEST(HostOptions, ReactorAndThreadRecords)
{
  // The factory says why, the host which kind: neither says the other's part.
  const char* const tp_refused = "Failed to get reactor factory by 'tp'\n";
  const Record_Row rows[] = {
    {{"--reactor", "tp", "--threads", "4"}, {"Created 'tp' reactor with 4 threads\n"}, {"Failed"}},
    {{"--reactor", "tp"},
     {tp_refused, "The number of threads (0) of thread pool reactor is less than 2\n"},
     {"Created '", "'tp': the number"}},
    {{"--reactor", "epoll"},
     {"Failed to get reactor factory by 'epoll'\n"},
     {"thread pool reactor", "Created '"}},
    {{"--reactor", "select", "--threads", "0"}, {"Created 'select' reactor\n"}, {"threads"}},
    {{"--reactor=dev_poll", "--threads=1"}, {"Created 'dev_poll' reactor\n"}, {"threads"}},
    // Only the owner of a select-based reactor runs its loop: one thread, said once.
    {{"--reactor", "select", "--threads", "4"},
     {"The 'select' reactor runs its event loop on one thread only: running one, not 4\n",
      "Created 'select' reactor\n"},
     {"with 4 threads"}},
    {{"--reactor", "priority", "--reactor", "select"},
     {"Created 'select' reactor\n"},
     {"priority"}},
    // An overflowing count is capped, and said as it was written.
    {{"--threads", "99999999999999999999", "--reactor", "priority"},
     {"Asked for 99999999999999999999 threads, using the maximum of 1024\n",
      "The 'priority' reactor runs its event loop on one thread only: running one, not 1024\n",
      "Created 'priority' reactor\n"},
     {}},
    {{"--reactor", ""}, {}, {"reactor"}},
    {{"--threads", "8"},
     {"The 'default' reactor runs its event loop on one thread only: running one, not 8\n"},
     {"Created", "Asked for"}},
  };
  for (const Record_Row& row : rows) {
    std::string trace;
    for (const std::string& a : row.args)
      trace += "'" + a + "' ";
    SCOPED_TRACE(trace);
    Host_Process h;
    ASSERT_TRUE(h.start(row.args));
    ASSERT_TRUE(h.wait_for_stderr(STARTED)) << h.stderr_text();
    stop_cleanly(h);
    std::string const err = h.stderr_text();
    for (const std::string& p : row.present)
      EXPECT_EQ(1u, count_of(err, p)) << "record '" << p << "' in:\n" << err;
    for (const std::string& a : row.absent)
      EXPECT_EQ(0u, count_of(err, a)) << "no '" << a << "' in:\n" << err;
  }
}

TEST(HostOptions, MalformedCountsAndUnusableKindsAreRefused)
{
  const Record_Row rows[] = {
    {{"--threads", "4x", "--reactor", "tp"}, {"Malformed --threads '4x': not a decimal count"}, {}},
    {{"--threads", "abc"}, {"Malformed --threads 'abc'"}, {}},
    {{"--threads", "-1"}, {"Malformed --threads '-1'"}, {}},
    {{"--threads="}, {"Malformed --threads ''"}, {}},
    {{"--stall-warning", "50"}, {"Malformed --stall-warning '50': not 0 or a decimal count"}, {}},
    {{"--stall-warning", "1s"}, {"Malformed --stall-warning '1s'"}, {}},
    {{"--strict", "--reactor", "epoll"},
     {"Failed to get reactor factory by 'epoll'\n",
      "No reactor of the kind asked for, and --strict is given: stopping\n"},
     {}},
    {{"--strict", "--reactor", "tp", "--threads", "1"},
     {"The number of threads (1) of thread pool reactor is less than 2\n",
      "Failed to get reactor factory by 'tp'\n", "--strict is given: stopping\n"},
     {}},
    // "-s" must name a signal the host can take, and not the stop deadline's.
    {{"-s", "0"}, {"Invalid -s '0': not a signal the host can reconfigure on"}, {}},
    {{"-s", "-1"}, {"Invalid -s '-1'"}, {}},
    {{"-s", "9"}, {"Invalid -s '9'"}, {}},
    {{"-s", "19"}, {"Invalid -s '19'"}, {}},
    {{"-s", "32"}, {"Invalid -s '32'"}, {}},
    {{"-s", "64"}, {"Invalid -s '64'"}, {}},
    {{"-s", "65"}, {"Invalid -s '65'"}, {}},
    {{"-s", "10", "-s", "abc"}, {"Invalid -s 'abc'"}, {}},
  };
  for (const Record_Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args.back());
    Host_Process h;
    ASSERT_TRUE(h.start(row.args));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
    for (const std::string& p : row.present)
      EXPECT_EQ(1u, count_of(h.stderr_text(), p)) << h.stderr_text();
    EXPECT_EQ(0u, count_of(h.stderr_text(), STARTED)) << h.stderr_text();
  }
}

// --- The thread pool -----------------------------------------------------------------------

class ThreadPool : public ::testing::TestWithParam<const char*>
{
};

TEST_P(ThreadPool, RunsTheGivenNumberOfLoopThreads)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  // A callback that sleeps keeps its thread busy, so the next expiry goes to another one.
  std::string const conf = d.write("p.conf", probe_line("P", rec, "-t 10 -s 20"));
  Host_Process h;
  ASSERT_TRUE(h.start({"--reactor", GetParam(), "--threads", "4", "-f", conf}));
  ASSERT_TRUE(wait_for_file(rec, "timeout P", seconds(30), 40)) << h.stderr_text();
  EXPECT_EQ(6u, task_count(h.pid())) << "the main thread, four loop threads, the stall watch";
  std::set<std::string> const tids = timeout_tids(rec);
  EXPECT_GE(tids.size(), 2u) << "callbacks should land on several pool threads";
  EXPECT_EQ(0u, tids.count(std::to_string(h.pid()))) << "the main thread only waits";
  stop_cleanly(h);
  EXPECT_EQ(1u, count_of(read_file(rec), "fini P"));
}

INSTANTIATE_TEST_SUITE_P(PoolKinds, ThreadPool, ::testing::Values("tp", "dev_poll"));

// The select-based kinds let only the reactor's owner run the loop, so they run one loop thread
// whatever was asked; a signal taken by it must not end it either.
class PoolSignals : public ::testing::TestWithParam<const char*>
{
};

TEST_P(PoolSignals, LoopThreadsSurviveTheHostsSignals)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const conf = d.write("p.conf", probe_line("P", rec, "-t 10"));
  Host_Process h;
  ASSERT_TRUE(h.start({"--reactor", GetParam(), "--threads", "4", "-f", conf}));
  ASSERT_TRUE(wait_for_file(rec, "timeout P", seconds(30), 10)) << h.stderr_text();
  size_t const tasks = task_count(h.pid());
  ASSERT_GE(tasks, 1u);
  for (int i = 0; i < 400; ++i)
    ASSERT_TRUE(h.send(i % 2 == 0 ? SIGHUP : SIGUSR2)) << h.stderr_text();
  // Pending signals of one kind merge, so there is no count to wait for: give the host a
  // moment to take what is left.
  EXPECT_FALSE(h.wait_exit(std::chrono::milliseconds(500))) << h.stderr_text();
  EXPECT_EQ(tasks, task_count(h.pid())) << "a signal ended a loop thread";
  size_t const ticks = count_of(read_file(rec), "timeout P");
  EXPECT_TRUE(wait_for_file(rec, "timeout P", seconds(30), ticks + 5));
  stop_cleanly(h);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, PoolSignals,
                         ::testing::Values("priority", "tp", "select", "dev_poll"));

TEST(HostOptions, WithoutPoolTheMainThreadRunsTheLoop)
{
  const std::vector<std::string> cases[] = {
    {"--threads", "8"},  // no reactor asked for: ACE's default one, single-threaded
    {"--reactor", "select", "--threads", "1"},
    {"--reactor", "select"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    Temp_Dir d;
    std::string const rec = d / "rec";
    std::vector<std::string> a = args;
    a.push_back("-f");
    a.push_back(d.write("p.conf", probe_line("P", rec, "-t 10")));
    Host_Process h;
    ASSERT_TRUE(h.start(a));
    ASSERT_TRUE(wait_for_file(rec, "timeout P", seconds(30), 3)) << h.stderr_text();
    EXPECT_EQ(2u, task_count(h.pid())) << "the main thread and the stall watch";
    EXPECT_EQ(std::set<std::string>{std::to_string(h.pid())}, timeout_tids(rec));
    stop_cleanly(h);
  }
}

TEST(HostOptions, PoolThatCannotStartEveryThreadRunsWithWhatItHasOrStopsUnderStrict)
{
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' runtime needs address space and threads of its own";
#endif
  // The process limit binds only a user without root's privileges.
  struct Row
  {
    const char* limit;
    bool unprivileged;
  } const rows[] = {{"ulimit -u 4", true}, {"ulimit -v 100000", false}, {"ulimit -v 12000", false}};
  for (const Row& row : rows) {
    for (int mode = 0; mode < 3; ++mode) {
      bool const strict = mode > 0;
      // Detached, the launcher reports the daemon's status.
      bool const background = mode == 2;
      SCOPED_TRACE(std::string(row.limit) + (strict ? " --strict" : "") +
                   (background ? " --background" : ""));
      Temp_Dir d;
      ASSERT_EQ(0, ::chmod(d.path().c_str(), 0755));
      std::string const conf = d.write("p.conf", std::string("dynamic P Service_Object * ") +
                                                     PROBE_SERVICE_LIBRARY +
                                                     ":_make_Probe_Service() \"-t 10\"\n");
      std::vector<std::string> args = {"-c", std::string(row.limit) + " && exec \"$0\" \"$@\"",
                                       STARTER_BINARY, "--reactor", "tp", "--threads", "16",
                                       "-f", conf};
      if (strict)
        args.push_back("--strict");
      if (background)
        args.push_back("--background");
      std::string program = "/bin/bash";
      if (row.unprivileged && ::geteuid() == 0 && !can_drop_root()) {
        std::printf("skipped: no unprivileged user to run as here\n");
        continue;
      }
      if (row.unprivileged && ::geteuid() == 0) {
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash"});
        program = "/usr/bin/setpriv";
      }
      Host_Process h;
      ASSERT_TRUE(h.start(args, {}, {}, program));
      std::string const failed = "Failed to start event-loop thread ";
      if (strict) {
        ASSERT_TRUE(h.wait_exit());
        if (count_of(h.stderr_text(), failed) == 0 && h.exit_code() != 1) {
          std::printf("skipped: the limit did not bind here\n");
          continue;
        }
        EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
        EXPECT_EQ(1u, count_of(h.stderr_text(), "--strict is given: stopping\n")) << h.stderr_text();
        EXPECT_EQ(0u, count_of(h.stderr_text(), STARTED)) << h.stderr_text();
        continue;
      }
      ASSERT_TRUE(h.wait_for_stderr(STARTED)) << h.stderr_text();
      if (count_of(h.stderr_text(), failed) == 0) {
        stop_cleanly(h);
        std::printf("skipped: the limit did not bind here\n");
        continue;
      }
      // The pool is kept across a reload: no second attempt, no second failure.
      ASSERT_TRUE(h.send(SIGHUP));
      EXPECT_TRUE(h.wait_for_stderr("Reloaded: 1 service open\n")) << h.stderr_text();
      stop_cleanly(h);
      EXPECT_EQ(1u, count_of(h.stderr_text(), failed)) << h.stderr_text();
    }
  }
}

// --- Every reactor kind, single-threaded and with a pool -----------------------------------

typedef std::tuple<const char*, const char*> Kind_Threads;

class EveryKind : public ::testing::TestWithParam<Kind_Threads>
{
protected:
  std::vector<std::string> host_args() const
  {
    return {"--reactor", std::get<0>(GetParam()), "--threads", std::get<1>(GetParam())};
  }
};

TEST_P(EveryKind, HostsTheProbeAndStopsCleanly)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::vector<std::string> args = host_args();
  args.push_back("-f");
  args.push_back(d.write("p.conf", probe_line("P", rec, "-t 10")));
  Host_Process h;
  ASSERT_TRUE(h.start(args));
  ASSERT_TRUE(wait_for_file(rec, "timeout P", seconds(30), 5)) << h.stderr_text();
  stop_cleanly(h);
  EXPECT_EQ(1u, count_of(read_file(rec), "init P"));
  EXPECT_EQ(1u, count_of(read_file(rec), "fini P"));
}

TEST_P(EveryKind, SignalStorm)
{
  run_signal_storm(host_args());
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind,
                         ::testing::Combine(::testing::Values("priority", "tp", "select",
                                                              "dev_poll"),
                                            ::testing::Values("1", "4")),
                         [](const ::testing::TestParamInfo<Kind_Threads>& info) {
                           return std::string(std::get<0>(info.param)) + "_threads_" +
                                  std::get<1>(info.param);
                         });

}  // namespace
