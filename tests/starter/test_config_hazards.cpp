// Configurations the Service Configurator would crash on, hang on, misread or fail on without
// saying where, end to end on the real binary with ACE's network services and the probe: the
// check refuses them with FILE:LINE before anything is applied, and what fails while applying
// is named.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

/// A configuration the Service Configurator would crash on, and the check's words for it.
struct Crash
{
  std::string text;  ///< empty: a 200 GB sparse file
  std::string problem;
};

std::vector<Crash> crashes()
{
  std::string const lib = NETSVCS_LIBRARY;
  return {
      {"stream a { remove X }\n", ":1: module X: stream a is not defined before this directive"},
      {"\nstream Time_Service { static X }\n", ":2: static inside a stream's body"},
      {"stream Time_Service { remove X }\n", ":1: module X: Time_Service is a service object, "
                                             "not a stream"},
      {"stream S { static M }\n", ":1: static inside a stream's body"},
      {"dynamic X Module * " + lib + ":_make_ACE_TS_Server_Acceptor() \"-p 1\"\n",
       ":1: service X: type Module: the host opens Service_Object services only"},
      {"dynamic X STREAM * " + lib + ":_make_ACE_TS_Server_Acceptor() \"-p 1\"\n",
       ":1: service X: type STREAM"},
      {"dynamic X Service_Object * " + lib + ":_ZTI16ACE_Name_Handler()\n",
       ":1: service X: '_ZTI16ACE_Name_Handler' in '" + lib + "' is no function"},
      {"dynamic X Service_Object * " + lib + ":_make_ACE_TS_Server_Acceptor \"-p 1\"\n",
       ":1: service X: '_make_ACE_TS_Server_Acceptor' in '" + lib + "' is a function, not an "
       "object: the Service Configurator would take its code for the service and crash; write "
       "'_make_ACE_TS_Server_Acceptor()'"},
      {std::string("static A\0", 9), ":1: a NUL byte"},
      {"", ": larger than 16 MiB: not read"},
  };
}

/// Writes @a c into @a path.
void write_crash(const Crash& c, const std::string& path)
{
  std::ofstream(path, std::ios::binary | std::ios::trunc) << c.text;
  if (c.text.empty()) {
    ASSERT_EQ(0, ::truncate(path.c_str(), 200LL << 30));
  }
}

TEST(ConfigHazards, WhatWouldCrashTheHostIsRefusedAtCheckStartAndReload)
{
  if (std::string(NETSVCS_LIBRARY).empty())
    GTEST_SKIP() << "needs ACE's netsvcs library";
  Temp_Dir d;
  std::vector<int> ports;
  std::string const net = d.write("net.conf", netsvcs_lines(ports));
  std::string const bad = d / "bad.conf";
  for (const Crash& c : crashes()) {
    SCOPED_TRACE(c.problem);
    write_crash(c, bad);
    Host_Process check;
    ASSERT_TRUE(check.start({"--check", "--quiet", "-f", net, "-f", bad}));
    ASSERT_TRUE(check.wait_exit());
    EXPECT_EQ(1, check.exit_code());
    EXPECT_EQ(1u, count_of(check.stderr_text(), bad + c.problem)) << check.stderr_text();
    Host_Process strict;
    ASSERT_TRUE(strict.start({"--strict", "-f", net, "-f", bad}));
    ASSERT_TRUE(strict.wait_exit());
    EXPECT_EQ(1, strict.exit_code()) << strict.stderr_text();
    EXPECT_EQ(0, strict.term_signal());
  }

  // Without --strict such a file is left out and the rest runs.
  Host_Process lax;
  write_crash(crashes()[4], bad);
  ASSERT_TRUE(lax.start({"-f", net, "-f", bad, "-S", crashes()[0].text}));
  ASSERT_TRUE(lax.wait_for_stderr("is started")) << lax.stderr_text();
  EXPECT_EQ(1u, count_of(lax.stderr_text(), "-S '" + crashes()[0].text + "'" +
                                                crashes()[0].problem));
  EXPECT_EQ(1u, count_of(lax.stderr_text(), "the Service Configurator cannot tell what a factory "
                                            "makes and crashes when it is not a Module; left out\n"));
  EXPECT_TRUE(accepts(ports[0]));
  ASSERT_TRUE(lax.send(SIGTERM));
  ASSERT_TRUE(lax.wait_exit());
  EXPECT_EQ(0, lax.exit_code());

  // Added to a running host: each reload is refused and the services answer, on every reactor.
  std::vector<std::vector<std::string>> const reactors = {
      {}, {"--reactor", "select"}, {"--reactor", "tp", "--threads", "3"},
      {"--reactor", "priority"}, {"--reactor", "dev_poll"}};
  for (const std::vector<std::string>& reactor : reactors) {
    SCOPED_TRACE(reactor.empty() ? "default" : reactor[1]);
    std::vector<int> p;
    Temp_Dir r;
    r.mkdir("conf.d");
    r.write("conf.d/00-net.conf", netsvcs_lines(p));
    std::vector<std::string> args = reactor;
    args.insert(args.end(), {"-f", r / "conf.d"});
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    size_t refused = 0;
    for (const Crash& c : crashes()) {
      SCOPED_TRACE(c.problem);
      write_crash(c, r / "conf.d/50-bad.conf");
      ASSERT_TRUE(h.send(SIGHUP));
      ASSERT_TRUE(h.wait_for_stderr("Reload refused: ", std::chrono::seconds(20), ++refused))
          << h.stderr_text();
      EXPECT_EQ(1u, count_of(h.stderr_text(), r / "conf.d/50-bad.conf" + c.problem));
      EXPECT_TRUE(accepts(p[0]));
      EXPECT_TRUE(accepts(p[1]));
    }
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  }
}

// Text the Service Configurator would take otherwise than the check did: what it applies is
// what the check accepts, and what it cannot is refused or named.
TEST(ConfigHazards, WhatTheConfiguratorWouldMisreadOrDropIsNamed)
{
  Temp_Dir d;
  ASSERT_EQ(0, chmod(d.path().c_str(), 0755));
  std::string const rec = d / "rec";
  struct Row
  {
    std::string text;
    int status;  ///< of --check --strict
    std::string said;
  } const rows[] = {
      {"\f\v" + probe_line("A", rec), 0, ""},
      {"dynamic Log#1 Service_Object * x:f()\n" + probe_line("A", rec), 1,
       "a.conf:1: '#' inside the word 'Log#'"},
      {"static B \"" + std::string(4100, 'x') + "\"\n" + probe_line("A", rec), 1,
       "a.conf:1: quoted text runs 4102 bytes"},
      {probe_line("A", rec) + probe_line("A", rec), 1,
       "a.conf:2: service A is defined again: first at " + d / "a.conf:1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.said);
    std::string const a = d.write("a.conf", row.text);
    Host_Process h;
    ASSERT_TRUE(h.start({"--check", "--strict", "--quiet", "-f", a}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(row.status, h.exit_code()) << h.stderr_text();
    if (row.said.empty()) {
      EXPECT_EQ("", h.stderr_text());
    } else {
      EXPECT_EQ(1u, count_of(h.stderr_text(), row.said)) << h.stderr_text();
    }
  }

  // A form feed before a directive is a blank: the strict host opens it.
  d.write("a.conf", rows[0].text);
  Host_Process ff;
  ASSERT_TRUE(ff.start({"--strict", "-f", d / "a.conf"}));
  ASSERT_TRUE(ff.wait_for_stderr("is started")) << ff.stderr_text();
  ASSERT_TRUE(ff.send(SIGTERM));
  ASSERT_TRUE(ff.wait_exit());
  EXPECT_EQ(1u, lines_starting(rec, "init A").size());

  // An empty conf directory means no services: svc.conf in the starting directory (a FIFO
  // here, which would block) is not read. Entries that are no files are named, and refuse a
  // strict start.
  std::string const empty = d.mkdir("empty.d");
  ASSERT_EQ(0, mkfifo((d / "svc.conf").c_str(), 0644));
  ASSERT_EQ(0, symlink((d / "gone").c_str(), (empty + "/dangling.conf").c_str()));
  ASSERT_EQ(0, mkfifo((empty + "/fifo.conf").c_str(), 0644));
  for (bool strict : {false, true}) {
    Host_Process h;
    std::vector<std::string> args = {"-c", "cd \"$0\" && exec \"$@\"", d.path(), STARTER_BINARY,
                                     "-f", "empty.d"};
    if (strict)
      args.push_back("--strict");
    ASSERT_TRUE(h.start(args, {}, {}, "/bin/sh"));
    if (strict) {
      ASSERT_TRUE(h.wait_exit());
      EXPECT_EQ(1, h.exit_code());
    } else {
      ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
      EXPECT_EQ(1u, count_of(h.stderr_text(), empty + " holds no *.conf file: no services from "
                                                      "it\n")) << h.stderr_text();
      ASSERT_TRUE(h.send(SIGTERM));
      ASSERT_TRUE(h.wait_exit());
    }
    EXPECT_EQ(1u, count_of(h.stderr_text(), empty + "/dangling.conf: skipped: a dangling link\n"));
    EXPECT_EQ(1u, count_of(h.stderr_text(), empty + "/fifo.conf: skipped: a FIFO\n"));
  }

  // Without any "-f", svc.conf in the starting directory is read, named like any other file.
  ASSERT_EQ(0, unlink((d / "svc.conf").c_str()));
  d.write("svc.conf", probe_line("D", rec));
  for (const char* mode : {"--check", "--strict"}) {
    Host_Process h;
    ASSERT_TRUE(h.start({"-c", "cd \"$0\" && exec \"$@\"", d.path(), STARTER_BINARY, mode}, {},
                        {}, "/bin/sh"));
    if (std::string(mode) == "--check") {
      ASSERT_TRUE(h.wait_exit());
      EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
      EXPECT_EQ(1u, count_of(h.stdout_text(), "\n-f\n" + d / "svc.conf\n")) << h.stdout_text();
      continue;
    }
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1u, lines_starting(rec, "init D").size());
  }

  // A library named by a relative path is found by a daemon, whose working directory is "/".
  d.mkdir("lib");
  ASSERT_EQ(0, symlink(PROBE_SERVICE_LIBRARY, (d / "lib/libp.so").c_str()));
  d.write("rel.conf", "dynamic R Service_Object * lib/libp.so:_make_Probe_Service() \"-o " + rec +
                          " -n R\"\n");
  Host_Process daemon;
  ASSERT_TRUE(daemon.start({"-c", "cd \"$0\" && exec \"$@\"", d.path(), STARTER_BINARY, "--strict",
                            "--background", "-p", "pid", "-f", "rel.conf"}, {}, {}, "/bin/sh"));
  ASSERT_TRUE(daemon.wait_exit());
  EXPECT_EQ(0, daemon.exit_code()) << daemon.stderr_text();
  EXPECT_EQ(1u, lines_starting(rec, "init R").size()) << daemon.stderr_text();
  pid_t const pid = std::atoi(read_file(d / "pid").c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(0, kill(pid, SIGTERM));
  EXPECT_TRUE(wait_for_file(rec, "fini R"));
}

// What fails while the Configurator applies a checked file is named with its file, line and
// service; a service whose init throws fails alone, and a reload it fails is rolled back.
TEST(ConfigHazards, ApplyErrorsNameFileLineAndServiceAndAThrowingInitFailsAlone)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::vector<int> ports;
  std::string const dir = d.mkdir("conf.d");
  d.write("conf.d/a.conf", netsvcs_lines(ports) + probe_line("A", rec, "-t 20"));
  std::string const b = d.write("conf.d/b.conf", probe_line("T", rec, "-X std"));
  // ACE's parser loses the node of a directive whose service's init throws (some 400 bytes),
  // which the host cannot reach to free: a sanitizer build is told so.
  std::string const lost = d.write("lsan.supp", "leak:libACE\n");
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", dir}, {{"LSAN_OPTIONS", "suppressions=" + lost}}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  std::string const threw = b + ":1: dynamic T: an exception was thrown while it opened: init failed\n";
  EXPECT_EQ(1u, count_of(h.stderr_text(), threw)) << h.stderr_text();

  d.write("conf.d/b.conf", "\n" + probe_line("F", rec, "-F") + probe_line("T", rec, "-X int") +
                               "remove Nope\nsuspend Nope\n");
  ASSERT_TRUE(h.send(SIGHUP));
  // Each failure is named, then the reload undone: the running services stay as they were.
  ASSERT_TRUE(h.wait_for_stderr("Reload rolled back: F did not open (" + b + ":2: "))
      << h.stderr_text();
  for (const std::string& said :
       {b + ":2: dynamic F: it did not open: its factory made no object, or its init failed\n",
        b + ":3: dynamic T: an exception was thrown while it opened\n",
        b + ":4: remove Nope: no service of that name is loaded\n",
        b + ":5: suspend Nope: no service of that name is loaded\n"})
    EXPECT_EQ(1u, count_of(h.stderr_text(), said)) << said << h.stderr_text();
  // The other services run on.
  size_t const ticks = lines_starting(rec, "timeout A").size();
  EXPECT_TRUE(wait_for_file(rec, "timeout A", std::chrono::seconds(20), ticks + 2));
  if (!ports.empty()) {
    EXPECT_TRUE(accepts(ports[0]));
  }
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());
}

}  // namespace
