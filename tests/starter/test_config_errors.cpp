// Configuration errors end to end, on the real binary: what start-up says about each kind of
// bad configuration, reloads that check before they apply and read conf directories anew,
// and the journal's priority prefixes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <ace/CDR_Stream.h>
#include <ace/INET_Addr.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>

#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

TEST(ConfigErrors, StartUpNamesEachCauseAndStrictStopsBeforeOpening)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const sock = d / "sock.conf";
  int const s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  sock.copy(a.sun_path, sizeof a.sun_path - 1);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::symlink((d / "gone").c_str(), (d / "dangling.conf").c_str()));
  struct Case
  {
    std::string file;
    std::string cause;
  } const cases[] = {
      {d / "missing.conf", d / "missing.conf: cannot be read: No such file or directory\n"},
      {d / "dangling.conf", d / "dangling.conf: cannot be read: No such file or directory\n"},
      {"/dev/zero", "/dev/zero: cannot be read: not a regular file\n"},
      {sock, sock + ": cannot be read: "},
      {d.write("syntax.conf", "static A\nstatic B \"x\" garbage\n"),
       d / "syntax.conf:2: syntax error: expected a directive"},
      {d.write("lib.conf", "dynamic L Service_Object * no_such_lib:_make_L()\n"),
       d / "lib.conf:1: service L: cannot load library 'no_such_lib': "},
      {d.write("sym.conf", "\ndynamic S Service_Object * " + std::string(PROBE_SERVICE_LIBRARY) +
                               ":_make_Nothing()\n"),
       d / "sym.conf:2: service S: library '" + PROBE_SERVICE_LIBRARY +
           "' has no symbol '_make_Nothing'\n"},
      {d.write("unresolved.conf", "dynamic U Service_Object * " FAULTY_UNRESOLVED_LIBRARY
                                  ":_make_Faulty_C()\n"),
       d / "unresolved.conf:1: service U: library '" FAULTY_UNRESOLVED_LIBRARY "' ("
           FAULTY_UNRESOLVED_LIBRARY ") leaves symbol 'faulty_missing_helper' unresolved"},
  };
  std::string const good = d.write("good.conf", probe_line("Good", rec));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Host_Process h;
    ASSERT_TRUE(h.start({"--strict", "-f", good, "-f", c.file}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code());
    EXPECT_EQ(1u, count_of(h.stderr_text(), c.cause)) << h.stderr_text();
    EXPECT_EQ(1u, count_of(h.stderr_text(), "The configuration has 1 error, and --strict is given: "
                                            "stopping\n")) << h.stderr_text();
    EXPECT_EQ("", read_file(rec)) << "nothing opens";
  }
  ::close(s);

  // Without --strict the host runs on, and says how opening went. A library with an unresolved
  // symbol fails to open as it failed the check (its init would call the missing helper and
  // end the host were the library bound lazily).
  Host_Process lax;
  ASSERT_TRUE(lax.start({"-f", good, "-f", d / "sym.conf", "-f", d / "unresolved.conf"}));
  ASSERT_TRUE(lax.wait_for_stderr("is started")) << lax.stderr_text();
  EXPECT_EQ(1u, count_of(lax.stderr_text(), cases[6].cause)) << lax.stderr_text();
  EXPECT_EQ(1u, count_of(lax.stderr_text(), cases[7].cause)) << lax.stderr_text();
  EXPECT_EQ(1u, count_of(lax.stderr_text(), "The Service Configurator reported 2 errors: 1 service "
                                            "open\n")) << lax.stderr_text();
  EXPECT_FALSE(lax.wait_exit(std::chrono::milliseconds(300))) << lax.stderr_text();
  ASSERT_TRUE(lax.send(SIGTERM));
  ASSERT_TRUE(lax.wait_exit());
}

// A file's directives reach the Configurator together; those after one whose init throws, on
// their own. Each that fails is named at its line, the others open, and no init runs twice.
TEST(ConfigErrors, EachDirectiveOfAFileIsNamedAtItsLineAndOpenedOnce)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const conf = d.write(
      "run.conf", probe_line("A", rec) + "dynamic S Service_Object * " + PROBE_SERVICE_LIBRARY +
                      ":_make_Nothing()\n" + probe_line("F", rec, "-F") +
                      probe_line("X", rec, "-X std") + probe_line("G", rec, "-F") +
                      probe_line("Z", rec));
  // ACE's parser loses the node of a directive whose service failed or threw: a sanitizer
  // build is told so.
  std::string const lost = d.write("lsan.supp", "leak:libACE\n");
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", conf}, {{"LSAN_OPTIONS", "suppressions=" + lost}}));
  ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
  std::string const not_opened = "it did not open: its factory made no object, or its init failed\n";
  for (const std::string& failed :
       {conf + ":2: dynamic S: " + not_opened, conf + ":3: dynamic F: " + not_opened,
        conf + ":4: dynamic X: an exception was thrown while it opened: init failed\n",
        conf + ":5: dynamic G: " + not_opened})
    EXPECT_EQ(1u, count_of(h.stderr_text(), failed)) << h.stderr_text();
  for (const char* name : {"A", "F", "X", "G", "Z"})
    EXPECT_EQ(1u, lines_starting(rec, std::string("init ") + name + " ").size()) << read_file(rec);
  EXPECT_EQ(1u, count_of(h.stderr_text(), "The Service Configurator reported 4 errors: 2 services "
                                          "open\n")) << h.stderr_text();
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

// The files reach the Configurator as the text the check read, in its own order: the files,
// then the "-S" directives; a named file that cannot be read stops both, as its reading does.
TEST(ConfigErrors, FilesThenDirectivesAndAnUnreadableNamedFileStopsTheRest)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const a = d.write("a.conf", "# first\n" + probe_line("A", rec));
  std::string const b = d.write("b.conf", probe_line("B", rec) + "\n# last\n");
  std::string const s = probe_line("S", rec);
  struct Row
  {
    std::vector<std::string> args;
    std::string inits;
  } const rows[] = {
      {{"-S", s, "-f", a, "-f", b}, "ABS"},
      {{"-f", a, "-f", d / "missing.conf", "-f", b, "-S", s}, "A"},
      // Each file's directives as the check read them, in the order the files are named.
      {{"-f", b, "-f", a}, "BA"},
      {{"-f", a, "-f", b, "-f", a}, "ABA"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.inits);
    std::remove(rec.c_str());
    Host_Process h;
    ASSERT_TRUE(h.start(row.args));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(0, h.exit_code());
    std::string inits;
    std::string const r = read_file(rec);
    for (size_t at = 0; (at = r.find("init ", at)) != std::string::npos; at += 5)
      inits += r[at + 5];
    EXPECT_EQ(row.inits, inits) << r;
  }
}

TEST(ConfigErrors, AnUnreadableFileDoesNotDisableTheRestOfItsDirectory)
{
  if (geteuid() != 0 && access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs setpriv to run as another user";
  Temp_Dir d;
  ASSERT_EQ(0, chmod(d.path().c_str(), 0777));
  std::string const rec = d / "rec";
  std::string const dir = d.mkdir("conf.d");
  ASSERT_EQ(0, chmod(dir.c_str(), 0755));
  d.write("conf.d/a.conf", probe_line("A", rec));
  ASSERT_EQ(0, chmod(d.write("conf.d/b.conf", probe_line("B", rec)).c_str(), 0));
  d.write("conf.d/c.conf", probe_line("C", rec));
  Host_Process h;
  // Root reads everything: the host runs as nobody.
  if (geteuid() == 0)
    ASSERT_TRUE(h.start({"--reuid=65534", "--regid=65534", "--clear-groups", STARTER_BINARY, "-f",
                         dir}, {}, {}, "/usr/bin/setpriv"));
  else
    ASSERT_TRUE(h.start({"-f", dir}));
  ASSERT_TRUE(h.wait_for_stderr("is started"));
  EXPECT_EQ(1u, lines_starting(rec, "init A").size());
  EXPECT_EQ(1u, lines_starting(rec, "init C").size()) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), d / "conf.d/b.conf: cannot be read: Permission denied; "
                                              "left out\n")) << h.stderr_text();
  // A reload refuses it, as a strict start-up would.
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("Reload refused: 1 error; the running services are unchanged\n"))
      << h.stderr_text();
  EXPECT_EQ(1u, lines_starting(rec, "init A").size());
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
}

TEST(ConfigErrors, ReloadChecksThenAppliesAndReadsTheDirectoryAgain)
{
  Temp_Dir d;
  std::string const sent = d / "sent";
  std::string const rec = d / "rec";
  std::string const dir = d.mkdir("conf.d");
  d.write("conf.d/a.conf", probe_line("A", rec));
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", dir}, {{"LIBSYSTEMD_FILENAME", FAKE_SYSTEMD_LIBRARY},
                                    {"FAKE_SD_WATCHDOG_USEC", "30000000"},
                                    {"FAKE_SD_RECORD", sent}},
                      {"SD_NOTIFY_INTERVAL"}));
  ASSERT_TRUE(wait_for_file(sent, "STATUS=1 service open\n")) << h.stderr_text();

  // A file added since start-up is read.
  d.write("conf.d/b.conf", probe_line("B", rec));
  ASSERT_TRUE(h.send(SIGHUP));
  ASSERT_TRUE(h.wait_for_stderr("Reloaded: 2 services open\n")) << h.stderr_text();
  EXPECT_EQ(1u, lines_starting(rec, "init B").size());

  // A broken file: refused, nothing finalised or initialised again.
  std::string const before = read_file(rec);
  d.write("conf.d/c.conf", probe_line("C", rec) + "garbage\n");
  ASSERT_TRUE(h.send(SIGHUP));
  std::string const refused = "Reload refused: 1 error; the running services are unchanged";
  ASSERT_TRUE(h.wait_for_stderr(refused + "\n")) << h.stderr_text();
  EXPECT_EQ(1u, count_of(h.stderr_text(), d / "conf.d/c.conf:2: syntax error: ")) << h.stderr_text();
  ASSERT_TRUE(wait_for_file(sent, "READY=1\nSTATUS=" + refused + "\n")) << read_file(sent);
  EXPECT_EQ(before, read_file(rec));

  // A directive whose init fails rolls the reload back, and says so to systemd too.
  d.write("conf.d/c.conf", probe_line("C", rec, "-F"));
  ASSERT_TRUE(h.send(SIGHUP));
  std::string const failed = "Reload rolled back: C did not open (" + d / "conf.d/c.conf:1: ";
  ASSERT_TRUE(h.wait_for_stderr(failed)) << h.stderr_text();
  ASSERT_TRUE(wait_for_file(sent, "READY=1\nSTATUS=" + failed)) << read_file(sent);
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code());
}

TEST(ConfigErrors, ReloadingTheNameServerKeepsTheReloadSignal)
{
  // Finalising ACE's Name_Server sets SIGHUP back to its default: a second reload would kill.
  Temp_Dir d;
  Host_Process h;
  ASSERT_TRUE(h.start({"-f", d.write("ns.conf", "dynamic Name_Server Service_Object * netsvcs:"
                                                "_make_ACE_Name_Acceptor() \"name_server -p 0\"\n")}));
  ASSERT_TRUE(h.wait_for_stderr("is started"));
  for (size_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(h.send(SIGHUP));
    ASSERT_TRUE(h.wait_for_stderr("Reloaded: 1 service open\n", std::chrono::seconds(20), n))
        << h.stderr_text();
  }
  ASSERT_TRUE(h.send(SIGTERM));
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(0, h.exit_code()) << h.stderr_text();
}

/// Starts the host through a shell that sets JOURNAL_STREAM to standard error's device and
/// inode (the pipe the test reads), or to @a stream when that is not empty.
void start_with_journal(Host_Process& h, const std::string& stream, const std::string& conf,
                        const std::string& options = "")
{
  std::string const value = stream.empty() ? "$(stat -L -c %d:%i /proc/self/fd/2)" : stream;
  ASSERT_TRUE(h.start({"-c", "JOURNAL_STREAM=" + value + " exec " + STARTER_BINARY + " " + options +
                                 " -f " + conf},
                      {}, {"JOURNAL_STREAM"}, "/bin/sh"));
}

TEST(ConfigErrors, JournalStreamGetsPrioritiesOnEveryLine)
{
  Temp_Dir d;
  std::string const rec = d / "rec";
  std::string const conf =
      d.write("p.conf", "dynamic M Service_Object * no_such_lib:_make_M()\n" +
                            probe_line("P", rec, "-t 50 -k " + std::to_string(SIGSEGV)));
  Host_Process h;
  start_with_journal(h, "", conf);
  ASSERT_TRUE(h.wait_exit());
  EXPECT_EQ(SIGSEGV, h.term_signal());
  std::string const err = h.stderr_text();
  EXPECT_EQ(1u, count_of(err, "<3>" + conf + ":1: service M: cannot load library")) << err;
  EXPECT_EQ(1u, count_of(err, "\n<6>tessary3 ")) << err;
  EXPECT_EQ(1u, count_of(err, "<1>Signal 11 (Segmentation fault) caught in [")) << err;
  size_t lines = 0;
  for (size_t at = 0; at < err.size(); at = err.find('\n', at) + 1, ++lines) {
    EXPECT_TRUE(err.compare(at, 1, "<") == 0 && err[at + 2] == '>') << err.substr(at, 60);
    if (err.find('\n', at) == std::string::npos)
      break;
  }
  EXPECT_GT(lines, 6u) << "the stack trace's lines: " << err;

  // --check logs at the same priorities; --quiet leaves out all but the errors.
  ASSERT_EQ(0, ::symlink((d / "gone").c_str(), (d.mkdir("conf.d") + "/dangling.conf").c_str()));
  for (const char* quiet : {"", "--quiet"}) {
    Host_Process check;
    ASSERT_TRUE(check.start({"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec " +
                                       std::string(STARTER_BINARY) + " --check " + quiet + " -f " +
                                       d / "conf.d -f " + conf},
                            {}, {"JOURNAL_STREAM"}, "/bin/sh"));
    ASSERT_TRUE(check.wait_exit());
    EXPECT_EQ(1, check.exit_code());
    std::string const e = check.stderr_text();
    EXPECT_EQ(1u, count_of(e, "<3>" + conf + ":1: service M: cannot load library")) << e;
    EXPECT_EQ(*quiet ? 0u : 1u, count_of(e, "<4>" + d / "conf.d/dangling.conf: skipped: a "
                                                        "dangling link\n")) << e;
    EXPECT_EQ(*quiet ? 0u : 1u, count_of(check.stdout_text(), "-f\n" + conf + "\n"));
  }

  // Another stream than standard error's: ACE's output as it is.
  Host_Process other;
  start_with_journal(other, "1:2", d.write("q.conf", probe_line("Q", rec)));
  ASSERT_TRUE(other.wait_for_stderr("is started"));
  ASSERT_TRUE(other.send(SIGTERM));
  ASSERT_TRUE(other.wait_exit());
  EXPECT_EQ(std::string::npos, other.stderr_text().find('<')) << other.stderr_text();
}

/// Sends one record of priority @a type with text @a text to ACE's server logging service on
/// @a port, framed as ACE's logging clients frame it. False when it could not be sent.
bool forward_record(ACE_SOCK_Stream& peer, ACE_Log_Priority type, const std::string& text)
{
  ACE_Log_Record rec(type, ACE_OS::gettimeofday(), 4242);
  rec.msg_data(text.c_str());
  ACE_OutputCDR payload(ACE_Log_Record::MAXLOGMSGLEN + 64);
  payload << rec;
  ACE_CDR::ULong const length = static_cast<ACE_CDR::ULong>(payload.total_length());
  ACE_OutputCDR header(ACE_CDR::MAX_ALIGNMENT + 8);
  header << ACE_OutputCDR::from_boolean(ACE_CDR_BYTE_ORDER);
  header << length;
  return peer.send_n(header.begin()->rd_ptr(), 8) == 8 &&
         peer.send_n(payload.begin()->rd_ptr(), length) == static_cast<ssize_t>(length);
}

TEST(ConfigErrors, ServerLoggingServicePassesEveryRecordOnUnderTheJournal)
{
  if (std::string(NETSVCS_LIBRARY).empty())
    GTEST_SKIP() << "ACE's network services are not installed";
  // Debug records reach the journal only with debug output on; elsewhere ACE prints them all.
  struct Mode
  {
    bool journal;
    const char* options;
    bool debug_shown;
  } const modes[] = {{true, "", false}, {true, "-d", true}, {false, "", true}};
  for (const Mode& m : modes) {
    bool const journal = m.journal;
    SCOPED_TRACE(std::string(journal ? "journal " : "plain standard error ") + m.options);
    Temp_Dir d;
    std::vector<int> ports;
    std::string const conf = d.write("log.conf", netsvcs_lines(ports));
    Host_Process h;
    if (journal)
      start_with_journal(h, "", conf, m.options);
    else
      ASSERT_TRUE(h.start({"-f", conf}, {}, {"JOURNAL_STREAM"}));
    ASSERT_TRUE(h.wait_for_stderr("is started")) << h.stderr_text();
    ACE_SOCK_Stream peer;
    ACE_SOCK_Connector connector;
    ASSERT_EQ(0, connector.connect(peer, ACE_INET_Addr(static_cast<u_short>(ports[1]), "127.0.0.1")));
    ASSERT_TRUE(forward_record(peer, LM_DEBUG, "forwarded debug\n"));
    for (int i = 0; i < 5; ++i)
      ASSERT_TRUE(forward_record(peer, i % 2 == 0 ? LM_ERROR : LM_INFO,
                                 "forwarded " + std::to_string(i) + "\n"));
    std::string const last = std::string(journal ? "<6>" : "") + "forwarded 3\n";
    EXPECT_TRUE(h.wait_for_stderr(last, std::chrono::seconds(10))) << h.stderr_text();
    peer.close();
    ASSERT_TRUE(h.send(SIGTERM));
    ASSERT_TRUE(h.wait_exit());
    std::string const err = h.stderr_text();
    for (int i = 0; i < 5; ++i) {
      std::string const prefix = !journal ? "" : i % 2 == 0 ? "<3>" : "<6>";
      EXPECT_EQ(1u, count_of(err, "\n" + prefix + "forwarded " + std::to_string(i) + "\n")) << err;
    }
    EXPECT_EQ(journal ? 0u : 6u, count_of(err, "\nforwarded ")) << err;
    EXPECT_EQ(m.debug_shown ? 1u : 0u,
              count_of(err, std::string(journal ? "<7>" : "") + "forwarded debug\n")) << err;
  }
}

}  // namespace
