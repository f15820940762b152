// The host's signals end to end: stop, reconfigure, debug toggle, ignored and fatal signals,
// stops that something holds up, and signals at the edges of the host's life.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "starter/signal_storm.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

/// A host with one probe service, started and initialised.
struct Probe_Host
{
  Temp_Dir dir;
  std::string rec = dir / "rec";
  std::string conf;
  Host_Process host;

  explicit Probe_Host(const std::string& probe_options = "",
                      const std::vector<std::string>& extra = {},
                      const Host_Process::Env& env = {})
  {
    conf = dir.write("p.conf", probe_line("P", rec, probe_options));
    std::vector<std::string> args = extra;
    args.push_back("-f");
    args.push_back(conf);
    started = host.start(args, env) && wait_for_file(rec, "init P");
  }
  bool started = false;
};

/// The environment of a host whose services leak by design (one whose fini threw is never
/// deleted; one that calls exit() leaves the others as they are): no leak report.
Host_Process::Env leaks_by_design()
{
  const char* const asan = std::getenv("ASAN_OPTIONS");
  return {{"ASAN_OPTIONS", std::string(asan != 0 ? asan : "") + ":detect_leaks=0"}};
}

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
  // Held stopped, the host gets both at once: a quick stop could otherwise end before the
  // second is sent, and a loaded machine can leave any gap between two sends.
  ASSERT_TRUE(p.host.send(SIGSTOP));
  ASSERT_TRUE(p.host.send(SIGTERM));
  ASSERT_TRUE(p.host.send(SIGINT));
  ASSERT_TRUE(p.host.send(SIGCONT));
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
    ASSERT_TRUE(p.host.send(SIGTERM));
    ASSERT_TRUE(p.host.wait_exit());
    EXPECT_EQ(0, p.host.exit_code());
    // Counted once the output is complete: the record may still be in the pipe when the
    // service it led to has already written its own.
    EXPECT_EQ(1u, count_of(p.host.stderr_text(), record)) << p.host.stderr_text();
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
  // SIGRTMAX is the stop deadline's: only its own timer's expiry may end the host.
  for (int signo : {SIGPIPE, SIGIO, SIGURG, SIGRTMAX})
    ASSERT_TRUE(p.host.send(signo));
  EXPECT_FALSE(p.host.wait_exit(milliseconds(500)));
  ASSERT_TRUE(p.host.send(SIGTERM));
  ASSERT_TRUE(p.host.wait_exit());
  EXPECT_EQ(0, p.host.exit_code());
}

TEST(Signals, EveryDeathIsSaidAndRemovesThePidFileAndSocket)
{
  // Faults get a record naming the library and its services, then a back trace; other signals
  // the host does not handle one record; both then end the host by the signal. A service's
  // exit() is said too. Raised inside a hosted service's callback (on a pool thread where one
  // runs), or sent from outside. Every death removes the pid file and the control socket.
  std::string const trace = ": ";
  std::string const unhandled = ", which the host does not handle: ending by it\n";
  struct Row
  {
    int signo;           ///< 0: the service calls exit(3)
    bool inside;
    std::string record;  ///< what follows "caught in [thread] (thread TID)"
  } const rows[] = {
      {SIGSEGV, true, trace},      {SIGABRT, true, trace},      {SIGFPE, false, trace},
      {SIGALRM, false, trace},     {SIGXCPU, false, trace},     {SIGTRAP, true, trace},
      {SIGSYS, false, trace},      {SIGXFSZ, false, trace},     {SIGUSR1, false, unhandled},
      {SIGVTALRM, false, unhandled}, {SIGPROF, false, unhandled}, {SIGPWR, false, unhandled},
      {SIGSTKFLT, true, unhandled}, {SIGRTMIN, false, unhandled}, {SIGRTMAX - 1, true, unhandled},
      {0, true, "A service called exit(3): the host ends; in ["},
  };
  for (const Row& row : rows) {
    for (bool pool : {false, true}) {
      SCOPED_TRACE(std::to_string(row.signo) + (pool ? " pool" : ""));
      if (pool && !row.inside)
        continue;
      std::string options = "-t 50 ";
      if (row.inside)
        options += row.signo == 0 ? "-E 3" : "-k " + std::to_string(row.signo);
      Temp_Dir d;
      std::vector<std::string> args = {"-p", d / "pid", "--control", d / "sock"};
      if (pool)
        args.insert(args.end(), {"--reactor", "tp", "--threads", "3"});
      Probe_Host p(options, args, row.signo == 0 ? leaks_by_design() : Host_Process::Env());
      ASSERT_TRUE(p.started);
      if (!row.inside) {
        ASSERT_TRUE(p.host.wait_for_stderr("is started")) << p.host.stderr_text();
        ASSERT_TRUE(p.host.send(row.signo));
      }
      ASSERT_TRUE(p.host.wait_exit());
      std::string const err = p.host.stderr_text();
      if (row.signo == 0) {
        EXPECT_EQ(3, p.host.exit_code()) << err;
        EXPECT_EQ(1u, count_of(err, row.record)) << err;
      } else {
        EXPECT_EQ(row.signo, p.host.term_signal()) << err;
        std::string const head = "Signal " + std::to_string(row.signo) + " (" + strsignal(row.signo) +
                                 ") caught in [";
        EXPECT_EQ(1u, count_of(err, head)) << err;
        EXPECT_EQ(1u, count_of(err, ")" + row.record)) << err;
        EXPECT_EQ(row.record == trace ? 1u : 0u, count_of(err, "The back trace:\n")) << err;
        // The thread that took it is named: a pool thread is not the main one.
        if (pool) {
          EXPECT_EQ(0u, count_of(err, head + "starter]")) << err;
        }
      }
      // Raised inside the service: its library and name are in the record.
      EXPECT_EQ(row.inside && row.record != unhandled ? 1u : 0u,
                count_of(err, "libprobe_service.so, which serves P\n")) << err;
      EXPECT_EQ(1u, count_of(err, "The host ends: the pid file " + d / "pid" +
                                      " removed; the control socket " + d / "sock" + " removed\n"))
          << err;
      EXPECT_FALSE(exists(d / "pid")) << err;
      EXPECT_FALSE(exists(d / "sock")) << err;
      if (row.signo != 0) {
        EXPECT_TRUE(lines_starting(p.rec, "fini").empty()) << "no orderly shutdown after a death";
      }
    }
  }
}

TEST(Signals, EveryFaultNamesTheServiceItsLibraryServes)
{
  // Beside a healthy service H, service C (from a library of its own) faults; the first record
  // names C and its library, whatever the fault, on whichever thread, even when the library's
  // file is cut short under it (a second fault while the trace is read).
  enum Then { NOTHING, TRUNCATE };
  struct Row
  {
    const char* name;
    std::string options;  ///< of service C
    bool pool;
    Then then;
    int signo;            ///< the death: a signal, or 0 for the exception's abort
    std::string record;   ///< the record's start
    bool name_server = false;  ///< ACE's name service beside them: its memory pool takes SIGSEGV
  } const rows[] = {
      {"write through null", "-t 50 -C null", false, NOTHING, SIGSEGV, "Signal 11 (Segmentation fault) caught in ["},
      {"write through null, pool", "-t 50 -C null", true, NOTHING, SIGSEGV, "at address 0x0: in /"},
      {"write through null, beside the name service", "-t 50 -C null", false, NOTHING, SIGSEGV,
       "at address 0x0: in /", true},
      {"call through null", "-t 50 -C call", false, NOTHING, SIGSEGV, "at address 0x0: in no library, called from /"},
      {"stack overflow", "-t 50 -C overflow", false, NOTHING, SIGSEGV, "Signal 11 (Segmentation fault) caught in ["},
      {"stack overflow, pool", "-t 50 -C overflow", true, NOTHING, SIGSEGV, "Signal 11 (Segmentation fault) caught in ["},
      {"on a thread of its own", "-t 50 -C thread", false, NOTHING, SIGSEGV, "at address 0x0: in /"},
      {"exception", "-t 50 -x std", false, NOTHING, SIGABRT, "Unhandled exception is caught, boom; in [starter]"},
      {"exception, pool", "-t 50 -x int", true, NOTHING, SIGABRT, "Unknown/unhandled exception is caught; in [loop-"},
      {"library cut short", "-t 100", false, TRUNCATE, SIGBUS, "Signal 7 (Bus error) caught in ["},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Temp_Dir d;
    std::string const rec = d / "rec";
    std::string const lib = d.write("libfaulty_c.so", read_file(PROBE_SERVICE_V2_LIBRARY));
    std::string const conf = d.write("c.conf", probe_line("H", rec) + "dynamic C Service_Object * " +
        lib + ":_make_Probe_Service() \"-o " + rec + " -n C " + row.options + "\"\n" +
        (row.name_server ? "dynamic Name_Server Service_Object * netsvcs:_make_ACE_Name_Acceptor() "
                           "\"name_server -p 0\"\n"
                         : std::string()));
    std::vector<std::string> args = {"-p", d / "pid", "--control", d / "sock", "-f", conf};
    if (row.pool)
      args.insert(args.begin(), {"--reactor", "tp", "--threads", "2"});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    if (row.then == TRUNCATE) {
      ASSERT_TRUE(wait_for_file(rec, "timeout C")) << h.stderr_text();
      ASSERT_EQ(0, ::truncate(lib.c_str(), 0));
    }
    ASSERT_TRUE(h.wait_exit());
    std::string const err = h.stderr_text();
    EXPECT_EQ(row.signo, h.term_signal()) << err;
    ASSERT_EQ(1u, count_of(err, row.record)) << err;
    // The first record, and only it, names C and its library.
    std::string const first = err.substr(err.find(row.record));
    std::string const line = first.substr(0, first.find('\n') + 1);
    EXPECT_NE(std::string::npos, line.find("libfaulty_c.so")) << err;
    EXPECT_EQ(1u, count_of(line, "which serves C\n")) << err;
    EXPECT_EQ(1u, count_of(err, "which serves C\n")) << err;
    EXPECT_EQ(0u, count_of(err, "which serves H")) << err;
    EXPECT_LT(err.find(line), err.find("The host ends: the pid file")) << "the record first";
    EXPECT_FALSE(exists(d / "pid")) << err;
    EXPECT_FALSE(exists(d / "sock")) << err;
  }
}

/// A stop that something holds up: how the host runs, what holds it up.
struct Held_Stop_Row
{
  const char* name;
  std::vector<std::string> host_args;
  std::string probe_options;  ///< of service A, whose first timer callback may never return
  bool fifo_reload;           ///< a reload is under way that finds a FIFO among the files
};

TEST(Signals, StopEndsTheHostWhateverHoldsItUp)
{
  std::vector<std::string> const pool = {"--reactor", "tp", "--threads", "4"};
  const Held_Stop_Row rows[] = {
    {"stuck callback", {}, "-t 50 -s 600000", false},
    {"stuck callback, pool", pool, "-t 50 -s 600000", false},
    {"reload that opens a FIFO", {}, "", true},
    {"reload that opens a FIFO, pool", pool, "", true},
    {"fini that blocks", {}, "-t 50 -B 600000", false},
    {"fini that blocks, pool", pool, "-t 50 -B 600000", false},
  };
  for (const Held_Stop_Row& row : rows) {
    SCOPED_TRACE(row.name);
    Temp_Dir d;
    std::string const rec = d / "rec";
    d.mkdir("conf.d");
    d.write("conf.d/a.conf", probe_line("A", rec, row.probe_options));
    d.write("conf.d/b.conf", probe_line("B", rec));
    std::vector<std::string> args = row.host_args;
    args.insert(args.end(), {"-p", d / "pid", "-f", d / "conf.d"});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(wait_for_file(rec, row.fifo_reload ? "init B" : "timeout A")) << h.stderr_text();
    if (row.fifo_reload) {
      std::string const b = d / "conf.d/b.conf";
      ASSERT_EQ(0, ::unlink(b.c_str()));
      ASSERT_EQ(0, ::mkfifo(b.c_str(), 0644));
      ASSERT_TRUE(h.send(SIGHUP));
      ASSERT_TRUE(h.wait_for_stderr("caught, and reconfiguring")) << h.stderr_text();
    }
    auto const start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.send(SIGTERM));
    // Further stop signals neither help nor hinder.
    std::this_thread::sleep_for(milliseconds(300));
    h.send(SIGINT);
    ASSERT_TRUE(h.wait_exit(seconds(30))) << h.stderr_text();
    EXPECT_LT(std::chrono::steady_clock::now() - start, seconds(5)) << h.stderr_text();
    if (!row.fifo_reload) {
      EXPECT_EQ(2, h.exit_code()) << h.stderr_text();
      EXPECT_EQ(1u, count_of(h.stderr_text(), "The stop did not complete within 3 s of its "
                                              "request: exiting with status 2, without "
                                              "finalising the services that are left: "))
          << h.stderr_text();
      // Where it is stuck: in A, the service that holds the loop or blocks in its fini.
      std::string const deadline = h.stderr_text().substr(h.stderr_text().find("The stop did not"));
      EXPECT_EQ(1u, count_of(deadline, "libprobe_service.so, which serves A, B")) << deadline;
      EXPECT_FALSE(exists(d / "pid")) << "a stop cut short leaves no pid file";
    } else {
      EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
    }
  }
}

TEST(Signals, ClosedStandardDescriptorsAreReopenedOnDevNull)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const conf = d.write("p.conf", probe_line("P", rec, "-t 20"));
  Host_Process h;
  ASSERT_TRUE(h.start({"-c", "exec \"$0\" \"$@\" <&- >&- 2>&-", STARTER_BINARY, "-f", conf}, {}, {},
                      "/bin/sh"));
  ASSERT_TRUE(wait_for_file(rec, "timeout P"));
  for (int fd = 0; fd <= 2; ++fd) {
    std::string const link = "/proc/" + std::to_string(h.pid()) + "/fd/" + std::to_string(fd);
    char target[256] = {};
    EXPECT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0) << fd;
    EXPECT_STREQ("/dev/null", target) << fd;
  }
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit(seconds(5)));
  EXPECT_EQ(0, h.exit_code());
  EXPECT_EQ(1u, lines_starting(rec, "fini P").size());
}

TEST(Signals, RefusesToStartWhenTheReactorOrRelayCannotBeSetUp)
{
#if defined(__SANITIZE_ADDRESS__)
  // Their runtime checks memory through a pipe of its own, and reports any object it cannot
  // read that way once the descriptors run out.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  // Descriptor limits from too few for the reactor's pipe to enough for everything, on each
  // reactor kind: the host either refuses before the services open, or runs and stops; it
  // never runs deaf, never crashes, and leaves no pid file. The host inherits nothing but 0, 1
  // and 2.
  int refused = 0;
  for (const char* kind : {"default", "select", "tp", "dev_poll"}) {
    for (int limit = 4; limit <= 10; ++limit) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(limit));
      Temp_Dir d;
      std::string const rec = d / "rec";
      std::string const pid = d / "pid";
      std::string const conf = d.write("p.conf", probe_line("P", rec));
      Host_Process h;
      std::string const script =
          "for f in /proc/$$/fd/*; do n=${f##*/}; [ $n -gt 2 ] && eval \"exec $n>&-\" 2>/dev/null; "
          "done; ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"";
      std::vector<std::string> args = {"-c", script, STARTER_BINARY};
      if (std::string(kind) != "default")
        args.insert(args.end(), {"--reactor", kind});
      args.insert(args.end(), {"-p", pid, "-f", conf});
      ASSERT_TRUE(h.start(args, {}, {}, "/bin/bash"));
      auto const deadline = std::chrono::steady_clock::now() + seconds(20);
      while (!h.wait_exit(milliseconds(20)) && count_of(h.stderr_text(), "is started.\n") == 0 &&
             std::chrono::steady_clock::now() < deadline)
        ;
      if (h.exited()) {
        EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
        EXPECT_EQ(1u, count_of(h.stderr_text(), "Failed to set up the signal relay (") +
                          count_of(h.stderr_text(), "Failed to initialise the reactor ("))
            << h.stderr_text();
        EXPECT_EQ(1u, count_of(h.stderr_text(), "refusing to start\n")) << h.stderr_text();
        EXPECT_TRUE(lines_starting(rec, "init").empty());
        ++refused;
      } else {
        ASSERT_TRUE(h.send(SIGTERM));
        ASSERT_TRUE(h.wait_exit());
        EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
      }
      EXPECT_FALSE(exists(pid)) << h.stderr_text();
    }
  }
  EXPECT_GT(refused, 0);
}

/// Stops @a h with SIGTERM and expects exit status 0.
void stop_with_status_zero(Host_Process& h)
{
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

// Each row: a probe service that relies on a call or a disposition of its own, what is done to
// the host while it runs, and what must still hold.
struct Keep_Row
{
  const char* name;
  const char* probe_options;
  std::vector<std::string> host_options;
  void (*exercise)(Probe_Host& p);
};

// A relayed signal restarts the call it interrupts; dev_poll logs nothing for it.
void blocking_call(Probe_Host& p)
{
  ASSERT_TRUE(wait_for_file(p.rec, "reading P"));
  for (int signo : {SIGUSR2, SIGHUP, SIGUSR2}) {
    ASSERT_TRUE(p.host.send(signo));
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_TRUE(wait_for_file(p.rec, "read P"));
  EXPECT_EQ(1u, lines_starting(p.rec, "read P").size());
  EXPECT_NE(std::string::npos, lines_starting(p.rec, "read P")[0].find(" ok")) << read_file(p.rec);
  stop_with_status_zero(p.host);
  EXPECT_EQ(0u, count_of(p.host.stderr_text(), "Interrupted system call")) << p.host.stderr_text();
}

// The host puts back only what the Service Configurator took over when it opened.
void own_alarm_handler(Probe_Host& p)
{
  ASSERT_TRUE(wait_for_file(p.rec, "timeout P"));
  ASSERT_TRUE(p.host.send(SIGALRM));
  EXPECT_TRUE(wait_for_file(p.rec, "alarm P")) << p.host.stderr_text();
  stop_with_status_zero(p.host);
}

// A reload finalises a service that took SIGHUP, which puts back what SIGHUP did when that
// service opened; the next SIGHUP must still reload.
void takes_sighup(Probe_Host& p)
{
  ASSERT_TRUE(p.host.wait_for_stderr("is started.\n"));
  for (size_t reloads = 1; reloads <= 3; ++reloads) {
    ASSERT_TRUE(p.host.send(SIGHUP));
    EXPECT_TRUE(wait_for_file(p.rec, "init P", seconds(20), reloads + 1)) << p.host.stderr_text();
  }
  stop_with_status_zero(p.host);
}

// The Service Configurator's own handler takes SIGHUP while the services open.
void reload_during_start_up(Probe_Host& p)
{
  ASSERT_TRUE(p.host.send(SIGHUP));
  EXPECT_TRUE(p.host.wait_for_stderr("Signal 1 (Hangup) caught, and reconfiguring ... \n"))
      << p.host.stderr_text();
  stop_with_status_zero(p.host);
}

const Keep_Row keep_rows[] = {
  {"BlockingCall", "-t 50 -r 700", {"--reactor", "dev_poll"}, blocking_call},
  {"OwnAlarmHandler", "-t 50 -A", {}, own_alarm_handler},
  {"TakesSighup", "-H", {}, takes_sighup},
  {"ReloadDuringStartUp", "-I 1000", {}, reload_during_start_up},
};

class ServicesKeep : public ::testing::TestWithParam<Keep_Row>
{
};

TEST_P(ServicesKeep, TheirCallsAndDispositions)
{
  Probe_Host p(GetParam().probe_options, GetParam().host_options);
  ASSERT_TRUE(p.started) << p.host.stderr_text();
  GetParam().exercise(p);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServicesKeep, ::testing::ValuesIn(keep_rows),
                         [](const ::testing::TestParamInfo<Keep_Row>& info) {
                           return std::string(info.param.name);
                         });

TEST(Signals, StormOfReconfigureAndToggleSignals)
{
  run_signal_storm({});
}

/// The reactor kinds, as host arguments.
std::vector<std::vector<std::string>> const reactor_kinds = {
    {}, {"--reactor", "select"}, {"--reactor", "tp", "--threads", "3"}, {"--reactor", "priority"},
    {"--reactor", "dev_poll"}};

TEST(Signals, StopFinalisesEveryServiceWhateverOneDoes)
{
  // ACE's client logging service leaves a signal handler registered for an object its fini
  // frees; the host must not let ACE call it when it shuts down, nor the Name Server, finalised
  // after it, whose memory pool walks ACE's table of signal handlers as it goes.
  for (const std::vector<std::string>& kind : reactor_kinds) {
    SCOPED_TRACE(kind.empty() ? "default" : kind[1]);
    if (std::string(NETSVCS_LIBRARY).empty())
      GTEST_SKIP() << "ACE's network services are not installed";
    Temp_Dir d;
    std::vector<int> ports;
    netsvcs_lines(ports);
    std::string const conf = d.write(
        "c.conf", std::string("dynamic Name_Server Service_Object * ") + NETSVCS_LIBRARY +
                      ":_make_ACE_Name_Acceptor() \"name_server -p 0\"\n"
                      "dynamic Client_Logger Service_Object * " + NETSVCS_LIBRARY +
                      ":_make_ACE_Client_Logging_Acceptor() \"-p " + std::to_string(ports[0]) +
                      " -h localhost\"\n" + probe_line("P", d / "rec"));
    std::vector<std::string> args = kind;
    args.insert(args.end(), {"-f", conf});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    stop_with_status_zero(h);
    EXPECT_EQ(1u, lines_starting(d / "rec", "fini P").size());
  }
  {
    // Exceptions from fini: each logged with its service's name, every service finalised.
    Temp_Dir d;
    std::string const rec = d / "rec";
    std::string const conf = d.write("x.conf", probe_line("A", rec, "-T std") +
                                                   probe_line("B", rec, "-T int") +
                                                   probe_line("C", rec));
    Host_Process h;
    ASSERT_TRUE(h.start({"-f", conf}, leaks_by_design()));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(2, h.exit_code()) << h.stderr_text();
    std::string const err = h.stderr_text();
    EXPECT_EQ(1u, count_of(err, "The fini of service 'A' threw an exception: fini boom\n")) << err;
    EXPECT_EQ(1u, count_of(err, "The fini of service 'B' threw an exception of unknown type\n"))
        << err;
    EXPECT_EQ(1u, count_of(err, "Stopped, but 2 exceptions escaped the finalisation: exit status "
                                "2\n")) << err;
    for (const char* name : {"A", "B", "C"})
      EXPECT_EQ(1u, lines_starting(rec, std::string("fini ") + name).size()) << name;
  }
}

TEST(Signals, StopDuringASighupFloodEndsCleanly)
{
  // ACE's name service gives SIGHUP back its default action when it is finalised, by a reload
  // or by the stop: a SIGHUP that lands then must wait, not kill. The pid stays the host's
  // until the test reaps it, so signals sent after it ended reach a zombie at worst.
  if (std::string(NETSVCS_LIBRARY).empty())
    GTEST_SKIP() << "ACE's network services are not installed";
  int deaths = 0;
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE(run);
    Temp_Dir d;
    std::string const conf = d.write(
        "n.conf", std::string("dynamic Name_Server Service_Object * ") + NETSVCS_LIBRARY +
                      ":_make_ACE_Name_Acceptor() \"-p 0\"\n" + probe_line("P", d / "rec"));
    Host_Process h;
    ASSERT_TRUE(h.start({"-f", conf}));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    for (int i = 0; i < 300; ++i)
      ::kill(h.pid(), SIGHUP);
    ::kill(h.pid(), SIGTERM);
    for (int i = 0; i < 3000; ++i)
      ::kill(h.pid(), SIGHUP);
    ASSERT_TRUE(h.wait_exit());
    deaths += h.term_signal() == SIGHUP;
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text().substr(0, 3000);
  }
  EXPECT_EQ(0, deaths);
}

TEST(Signals, RaisedOnAPoolThreadReachesTheRelay)
{
  // The pool blocks the host's signals; one a service raises on a pool thread still acts.
  for (const char* kind : {"tp", "dev_poll"}) {
    for (int signo : {SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(kind) + " " + std::to_string(signo));
      Probe_Host p("-t 50 -k " + std::to_string(signo), {"--reactor", kind, "--threads", "3"});
      ASSERT_TRUE(p.started) << p.host.stderr_text();
      if (signo == SIGTERM) {
        ASSERT_TRUE(p.host.wait_exit(seconds(10))) << p.host.stderr_text();
        EXPECT_EQ(0, p.host.exit_code()) << p.host.stderr_text();
        EXPECT_EQ(1u, count_of(p.host.stderr_text(), "Signal 15 (Terminated) caught in [loop-"))
            << p.host.stderr_text();
        EXPECT_EQ(1u, lines_starting(p.rec, "fini P").size());
      } else {
        EXPECT_TRUE(p.host.wait_for_stderr("Reloaded: 1 service open\n", seconds(10)))
            << p.host.stderr_text();
        stop_with_status_zero(p.host);
      }
    }
  }
}

}  // namespace
