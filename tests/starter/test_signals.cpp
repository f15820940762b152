// The host's signals end to end: stop, reconfigure, debug toggle, ignored and fatal signals.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>

#include <string>
#include <vector>

#include "starter/signal_storm.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::milliseconds;

/// A host with one probe service, started and initialised.
struct Probe_Host
{
  Temp_Dir dir;
  std::string rec = dir / "rec";
  std::string conf;
  Host_Process host;

  explicit Probe_Host(const std::string& probe_options = "",
                      const std::vector<std::string>& extra = {})
  {
    conf = dir.write("p.conf", probe_line("P", rec, probe_options));
    std::vector<std::string> args = extra;
    args.push_back("-f");
    args.push_back(conf);
    started = host.start(args) && wait_for_file(rec, "init P");
  }
  bool started = false;
};

std::string stop_record(int signo)
{
  return "Signal " + std::to_string(signo) + " (" + strsignal(signo) + ") caught in [starter].\n";
}

TEST(Signals, StopSignalsEndTheLoopOnceAndExitZero)
{
  for (int signo : {SIGTERM, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(signo);
    Probe_Host p;
    ASSERT_TRUE(p.started) << p.host.stderr_text();
    ASSERT_TRUE(p.host.send(signo));
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(0, p.host.exit_code()) << p.host.stderr_text();
    EXPECT_EQ(1u, count_of(p.host.stderr_text(), stop_record(signo))) << p.host.stderr_text();
    EXPECT_EQ(1u, lines_starting(p.rec, "fini P").size());
  }
}

TEST(Signals, TwoStopSignalsBothLoggedOneShutdown)
{
  Probe_Host p;
  ASSERT_TRUE(p.started);
  ASSERT_TRUE(p.host.send(SIGTERM));
  p.host.send(SIGINT);  // may find the host already gone only if it shut down at once
  ASSERT_TRUE(p.host.wait_exit());
  EXPECT_EQ(0, p.host.exit_code());
  std::string const err = p.host.stderr_text();
  EXPECT_EQ(1u, count_of(err, stop_record(SIGTERM))) << err;
  EXPECT_EQ(1u, count_of(err, stop_record(SIGINT))) << err;
  EXPECT_EQ(1u, lines_starting(p.rec, "fini P").size());
}

TEST(Signals, StopDuringStartUpStopsOnceTheLoopRuns)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("slow.conf", probe_line("Slow", rec, "-I 700"));
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d / "slow.conf"}));
  ASSERT_TRUE(wait_for_file(rec, "init Slow"));
  ASSERT_TRUE(h.send(SIGTERM));  // the service is still inside its init
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());
  EXPECT_EQ(1u, count_of(h.stderr_text(), stop_record(SIGTERM))) << h.stderr_text();
  EXPECT_EQ(1u, lines_starting(rec, "fini Slow").size());
}

TEST(Signals, ReconfigurationOpensAddedServices)
{
  struct Case
  {
    std::vector<std::string> args;
    int signo;
  };
  for (const Case& c : {Case{{}, SIGHUP}, Case{{"-s", "10"}, SIGUSR1}}) {
    SCOPED_TRACE(c.signo);
    Probe_Host p("", c.args);
    ASSERT_TRUE(p.started) << p.host.stderr_text();
    p.dir.write("p.conf", probe_line("P", p.rec) + probe_line("Added", p.rec));
    ASSERT_TRUE(p.host.send(c.signo));
    EXPECT_TRUE(wait_for_file(p.rec, "init Added")) << p.host.stderr_text();
    std::string const record = "Signal " + std::to_string(c.signo) + " (" + strsignal(c.signo) +
                               ") caught, and reconfiguring ... \n";
    // The record was written before the service opened, but the reader may not have it yet.
    EXPECT_TRUE(p.host.wait_for_stderr(record)) << p.host.stderr_text();
    EXPECT_EQ(1u, count_of(p.host.stderr_text(), record)) << p.host.stderr_text();
    ASSERT_TRUE(p.host.send(SIGTERM));
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(0, p.host.exit_code());
  }
}

TEST(Signals, ReconfigurationSignalCannotTakeOverTheHostsOwn)
{
  {
    SCOPED_TRACE("-s naming the stop signal");
    Probe_Host p("", {"-s", std::to_string(SIGTERM)});
    ASSERT_TRUE(p.started);
    ASSERT_TRUE(p.host.send(SIGTERM));
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(0, p.host.exit_code());
    EXPECT_EQ(1u, count_of(p.host.stderr_text(), stop_record(SIGTERM))) << p.host.stderr_text();
  }
  {
    // A fault must still end the host, not return into the faulting code for ever.
    SCOPED_TRACE("-s naming a fault");
    Probe_Host p("-t 50 -k " + std::to_string(SIGSEGV), {"-s", std::to_string(SIGSEGV)});
    ASSERT_TRUE(p.started);
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(SIGSEGV, p.host.term_signal()) << p.host.stderr_text();
  }
}

TEST(Signals, Usr2TogglesAceDebug)
{
  Probe_Host p;
  ASSERT_TRUE(p.started);
  ASSERT_TRUE(p.host.send(SIGUSR2));
  ASSERT_TRUE(p.host.wait_for_stderr("Enable ACE::debug.\n"));
  ASSERT_TRUE(p.host.send(SIGUSR2));
  ASSERT_TRUE(p.host.wait_for_stderr("Disable ACE::debug.\n"));
  std::string const err = p.host.stderr_text();
  EXPECT_LT(err.find("Enable ACE::debug."), err.find("Disable ACE::debug."));
  ASSERT_TRUE(p.host.send(SIGTERM));
  ASSERT_TRUE(p.host.wait_exit());
}

TEST(Signals, IgnoredSignalsDoNotEndTheHost)
{
  Probe_Host p;
  ASSERT_TRUE(p.started);
  for (int signo : {SIGPIPE, SIGIO, SIGURG})
    ASSERT_TRUE(p.host.send(signo));
  EXPECT_FALSE(p.host.wait_exit(milliseconds(500)));
  ASSERT_TRUE(p.host.send(SIGTERM));
  ASSERT_TRUE(p.host.wait_exit());
  EXPECT_EQ(0, p.host.exit_code());
}

TEST(Signals, FatalSignalIsLoggedThenKillsWithTheSameSignal)
{
  // Raised inside a hosted service's callback, or sent from outside.
  for (int signo : {SIGSEGV, SIGABRT, SIGFPE, SIGALRM, SIGXCPU}) {
    SCOPED_TRACE(signo);
    bool const inside = signo == SIGSEGV || signo == SIGABRT;
    Probe_Host p(inside ? "-t 50 -k " + std::to_string(signo) : "");
    ASSERT_TRUE(p.started);
    if (!inside) {
      ASSERT_TRUE(p.host.send(signo));
    }
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(signo, p.host.term_signal()) << p.host.stderr_text();
    std::string const record = "Signal " + std::to_string(signo) + " (" + strsignal(signo) +
                               ") caught in [starter], the back trace:\n";
    EXPECT_EQ(1u, count_of(p.host.stderr_text(), record)) << p.host.stderr_text();
    EXPECT_TRUE(lines_starting(p.rec, "fini").empty()) << "no orderly shutdown after a crash";
  }
}

TEST(Signals, StormOfReconfigureAndToggleSignals)
{
  run_signal_storm({});
}

}  // namespace
