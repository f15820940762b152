// The operator options against the real binary: --help, --version, --check, --strict.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "starter/version.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

/// Runs the host to its end and returns it.
void run(Host_Process& h, const std::vector<std::string>& args)
{
  ASSERT_TRUE(h.start(args));
  ASSERT_TRUE(h.wait_exit());
}

TEST(OperatorOptions, HelpListsEveryOptionAndStartsNothing)
{
  Host_Process h;
  run(h, {"-f", "/no/such.conf", "--reactor", "tp", "--help"});
  EXPECT_EQ(0, h.exit_code());
  std::string const out = h.stdout_text();
  for (const char* o : {"--threads", "--reactor", "--background", "--user", "--primary-group",
                        "--group", "--capability", "--no-new-privileges", "--check", "--strict", "--quiet",
                        "--reload-wait", "--version", "--help", "  -b ", "  -d ",
                        "  -f ", "  -k ", "  -n ", "  -p ", "  -s ", "  -S ", "  -y "})
    EXPECT_NE(std::string::npos, out.find(o)) << o;
  EXPECT_EQ(std::string::npos, h.stderr_text().find("is started")) << "nothing may start";
}

TEST(OperatorOptions, VersionIsOneLine)
{
  Host_Process h;
  run(h, {"--version", "-d"});
  EXPECT_EQ(0, h.exit_code());
  EXPECT_EQ(std::string("starter ") + STARTER_PACKAGE_VERSION + " (rev " + STARTER_REVISION + ")\n",
            h.stdout_text());
  // N.N.NNNNN-N and seven lower-case hexadecimal digits.
  std::string const version = STARTER_PACKAGE_VERSION;
  std::string shape;
  for (char c : version)
    shape += std::isdigit(static_cast<unsigned char>(c)) ? 'N' : c;
  size_t const dot = shape.find('.');
  EXPECT_EQ(".NNNNN-", shape.substr(shape.rfind('.'), 7)) << version;
  EXPECT_NE(dot, shape.rfind('.')) << version;
  std::string const rev = STARTER_REVISION;
  EXPECT_EQ(7u, rev.size());
  EXPECT_EQ(std::string::npos, rev.find_first_not_of("0123456789abcdef")) << rev;
}

TEST(OperatorOptions, CheckPrintsTheVectorOfAGoodConfiguration)
{
  Temp_Dir d;
  ASSERT_EQ(0, chmod(d.path().c_str(), 0755));  // for the check as nobody
  d.mkdir("conf.d");
  d.write("conf.d/b.conf", "");
  d.write("conf.d/a.conf", "");
  // Relative paths, as the run takes them: against the directory the host starts in.
  std::vector<std::string> args = {"-c", "cd \"$0\" && exec \"$@\"", d.path(), STARTER_BINARY,
                                   "--reactor", "tp", "--threads", "4", "--check", "-d",
                                   "--capability", "net_bind_service", "--capability=CAP_NET_RAW",
                                   "--no-new-privileges", "-f", "conf.d", "-p", "x.pid"};
  if (geteuid() == 0)
    args.push_back("--user=nobody");
  Host_Process h;
  ASSERT_TRUE(h.start(args, {}, {}, "/bin/sh"));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
  // "-p" is carried out by the host, not handed on.
  EXPECT_EQ(std::string(STARTER_BINARY) + "\n-d\n-f\n" + d / "conf.d/a.conf" + "\n-f\n" +
                d / "conf.d/b.conf" + "\npid file: " + d / "x.pid" + "\n",
            h.stdout_text());
  EXPECT_EQ("", h.stderr_text());
}

// What the real run would trip over, each reported once, with status 1 and never an abort.
TEST(OperatorOptions, CheckReportsWhatTheRunWouldTripOver)
{
  Temp_Dir d;
  std::string const ok = d.write("ok.conf", "");
  // ACE's substitution copies a name into a stack buffer of 4096: 4096 characters already
  // write past it.
  std::string const too_long = "$" + std::string(4096, 'A');
  const char* const unsubstituted = "unsubstituted: its environment reference is longer than 4095";
  struct Row
  {
    std::vector<std::string> args;
    std::string record;
    std::string program = STARTER_BINARY;
  } const rows[] = {
    {{"-f", "$STARTER_TEST_UNSET"},
     "starter: -f '$STARTER_TEST_UNSET': an environment reference in it names no variable\n"},
    {{"-f", "it's.conf", "-f", ok}, "starter: -f 'it's.conf': 0 words after quoting"},
    {{"-f", d / "a\nb.conf"}, "': 2 words after quoting and substitution, not one path\n"},
    {{"-f", "", "-f", ok}, "starter: -f '': 0 words after quoting"},
    {{"-f", "/x/" + too_long + "A"}, unsubstituted},
    {{"-S", too_long}, unsubstituted},
    {{"-p", too_long}, unsubstituted},
    {{"-k", too_long}, unsubstituted},
    {{"-s", too_long}, unsubstituted},
    {{"-c", "exec -a \"$0\" \"$@\" --check", too_long, STARTER_BINARY}, unsubstituted,
     "/bin/bash"},
    {{"--threads", "2x"}, "Malformed --threads '2x'"},
    // A word that is no option is said, and passed over; an option's argument is no such word.
    {{"--threads", "2x", "-S", "--help", "extra"}, "starter: 'extra' is no option: ignored\n"},
    {{"--reactor", "epoll"}, "Failed to get reactor factory by 'epoll'\n"},
    {{"-s", "0"}, "Invalid -s '0'"},
    {{"-s", "64"}, "Invalid -s '64'"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args[1].substr(0, 40));
    std::vector<std::string> args = row.args;
    if (row.program == STARTER_BINARY)
      args.push_back("--check");
    Host_Process h;
    ASSERT_TRUE(h.start(args, {}, {"STARTER_TEST_UNSET"}, row.program));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code()) << h.stderr_text().substr(0, 2000);
    EXPECT_EQ(1u, count_of(h.stderr_text(), row.record)) << h.stderr_text().substr(0, 2000);
  }
}

TEST(OperatorOptions, CheckReportsEachProblemOnce)
{
  Temp_Dir d;
  std::string const dir = d.mkdir("dir");
  Host_Process h;
  run(h, {"--check", "-f", d / "missing.conf", "-f", dir, "-f", d.write("ok.conf", ""),
          "--capability", "net_bind_servic", "--capability", "12"});
  EXPECT_EQ(1, h.exit_code());
  std::string const err = h.stderr_text();
  EXPECT_EQ(1u, count_of(err, "starter: -f " + d / "missing.conf" + ": No such file or directory\n")) << err;
  EXPECT_EQ(1u, count_of(err, "starter: --capability net_bind_servic: unknown capability name\n"));
  EXPECT_EQ(1u, count_of(err, "starter: --capability 12: unknown capability name\n"));
  EXPECT_EQ(3u, count_of(err, "\n")) << err;  // the empty directory is not a problem
}

TEST(OperatorOptions, CheckReportsAnUnreadableFile)
{
  Temp_Dir d;
  std::string const secret = d.write("secret.conf", "");
  ASSERT_EQ(0, chmod(secret.c_str(), 0600));
  ASSERT_EQ(0, chmod(d.path().c_str(), 0755));
  Host_Process h;
  if (geteuid() == 0) {
    // Root reads everything: check as nobody instead.
    ASSERT_TRUE(h.start({"--reuid=65534", "--regid=65534", "--clear-groups", STARTER_BINARY,
                         "--check", "-f", secret},
                        {}, {}, "/usr/bin/setpriv"));
    ASSERT_TRUE(h.wait_exit());
  } else {
    run(h, {"--check", "-f", secret});
  }
  EXPECT_EQ(1, h.exit_code()) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), "starter: -f " + secret + ": Permission denied\n")) << h.stderr_text();

  if (geteuid() == 0) {
    // Root may read it, the user the run switches to may not.
    Host_Process as_user;
    run(as_user, {"--check", "--user", "nobody", "-f", secret});
    EXPECT_EQ(1, as_user.exit_code()) << as_user.stderr_text();
    EXPECT_EQ(1u, count_of(as_user.stderr_text(), "starter: -f " + secret + ": Permission denied\n"))
        << as_user.stderr_text();
  }
}

TEST(OperatorOptions, StrictStopsWhenAServiceFailsToOpen)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  d.write("bad.conf", probe_line("Good", rec) + probe_line("Bad", rec, "-F"));
  Host_Process h;
  run(h, {"--strict", "-f", d / "bad.conf"});
  EXPECT_NE(0, h.exit_code());
  EXPECT_EQ(0, h.term_signal());
  EXPECT_EQ(1u, count_of(h.stderr_text(), "Failed to open the services, and --strict is given: stopping\n"))
      << h.stderr_text();
  EXPECT_EQ(std::string::npos, h.stderr_text().find("is started")) << "reported started";
  EXPECT_EQ(1u, lines_starting(rec, "fini Good").size()) << "what opened is finalised";

  // Without --strict the same configuration runs on.
  Host_Process lax;
  ASSERT_TRUE(lax.start({"-f", d / "bad.conf"}));
  ASSERT_TRUE(lax.wait_for_stderr("is started"));
  ASSERT_TRUE(lax.send(SIGTERM));
  ASSERT_TRUE(lax.wait_exit());
  EXPECT_EQ(0, lax.exit_code());
}

TEST(OperatorOptions, ReloadWaitReturnsTheOutcomeOfTheReloadItAsked)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const pid = d / "pid";
  d.write("a.conf", probe_line("A", rec));
  Host_Process host;
  ASSERT_TRUE(host.start({"-p", pid, "-f", d / "a.conf"}));
  ASSERT_TRUE(host.wait_for_stderr("is started"));

  struct Row
  {
    std::string conf;     ///< a.conf before the reload; empty: unchanged
    int status;
    const char* outcome;  ///< in the waiter's standard error
  } const rows[] = {
      {"", 0, "Reloaded: 1 service open\n"},
      {"no directive here\n", 1, "Reload refused: 1 error; the running services are unchanged\n"},
      {probe_line("A", rec) + probe_line("B", rec, "-F"), 1, "Reloaded with 1 error: 1 service open\n"},
      {probe_line("A", rec), 0, "Reloaded: 1 service open\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.outcome);
    if (!row.conf.empty())
      d.write("a.conf", row.conf);
    Host_Process wait;
    run(wait, {"--reload-wait", pid});
    EXPECT_EQ(row.status, wait.exit_code()) << wait.stderr_text();
    EXPECT_EQ(1u, count_of(wait.stderr_text(), row.outcome)) << wait.stderr_text();
  }

  ASSERT_TRUE(host.send(SIGTERM));
  ASSERT_TRUE(host.wait_exit());
  EXPECT_EQ("", read_file(pid + ".reload")) << "the record goes with the pid file";

  // No host to ask: each says why, at once.
  struct Bad
  {
    std::string pid_text;  ///< empty: no pid file
    const char* why;
  } const bad[] = {
      {"", "Failed to read the pid file"},
      {"12x\n", "holds no process id"},
      {"2147483647\n", "Failed to signal the host 2147483647"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.why);
    if (!b.pid_text.empty())
      d.write("pid", b.pid_text);
    Host_Process wait;
    run(wait, {"--reload-wait", pid});
    EXPECT_EQ(1, wait.exit_code());
    EXPECT_NE(std::string::npos, wait.stderr_text().find(b.why)) << wait.stderr_text();
  }
}

}  // namespace
