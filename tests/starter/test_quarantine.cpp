// The deaths file and the quarantine decision: the lines read back as written, a dying
// process's append, and which services a file and a configuration set aside.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "starter/config/grammar.h"
#include "starter/deaths.h"
#include "starter/quarantine.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

Blame_Site site(const std::string& service, const std::string& library, uint64_t directive,
                off_t size = 100)
{
  Blame_Site s;
  s.service = service;
  s.library = library;
  s.directive = directive;
  s.stamped = !library.empty();
  s.stamp.ino = 7;
  s.stamp.size = size;
  s.stamp.mtime = {1700000000, 5};
  return s;
}

Death_Record death(const Blame_Site& s, time_t at, Death_Record::Kind kind = Death_Record::DEATH)
{
  Death_Record r;
  r.kind = kind;
  r.at = at;
  r.site = s;
  r.text = kind == Death_Record::DEATH ? "signal 11 at 0x0" : "3 deaths within 600 s";
  return r;
}

/// Every library file is as recorded, but "/new.so", which has changed.
bool fake_stamp(const std::string& file, Library_Stamp& stamp)
{
  stamp = site("", file, 0).stamp;
  if (file == "/new.so")
    stamp.size = 999;
  return file != "/gone.so";
}

}  // namespace

TEST(Deaths_File, RecordsReadBackAsWrittenAndTornLinesAreSkipped)
{
  Death_Record r = death(site("svc", "/lib/a b.so", 0xfedcba9876543210ULL), 1765300000);
  r.text = "signal 11\tat\n0x0";
  Death_Record back;
  ASSERT_TRUE(parse_death_record(format_death_record(r), back));
  EXPECT_EQ(back.site.service, "svc");
  EXPECT_EQ(back.site.library, "/lib/a b.so");
  EXPECT_EQ(back.site.directive, r.site.directive);
  EXPECT_TRUE(back.site.stamp == r.site.stamp);
  EXPECT_EQ(back.text, "signal 11 at 0x0");  // one line, one field
  Death_Record stat_less = death(site("static", "", 1), 5, Death_Record::QUARANTINE);
  ASSERT_TRUE(parse_death_record(format_death_record(stat_less), back));
  EXPECT_FALSE(back.site.stamped);
  EXPECT_EQ(back.kind, Death_Record::QUARANTINE);
  std::string const line = format_death_record(r);
  for (const std::string& bad : {line.substr(0, line.size() / 2), std::string("reborn") +
                                 line.substr(5), std::string("death\tsoon") + line.substr(16),
                                 std::string()}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_death_record(bad, back));
  }
}

TEST(Deaths_File, TheDyingProcessAppendsOnceForTheLibraryAndTheNamesAndARewriteKeepsItsDescriptor)
{
  Temp_Dir dir;
  ASSERT_TRUE(open_deaths_file(dir / "state"));
  prepare_blame({site("a1", "/lib/a.so", 1), site("a2", "/lib/a.so", 2), site("b", "/lib/b.so", 3)});
  // A rewrite renames a new file into place: the appends must follow it.
  ASSERT_TRUE(rewrite_deaths_file({death(site("old", "/lib/o.so", 4), 10)}));
  pid_t const child = fork();
  if (child == 0) {
    size_t const n = note_death("/lib/a.so", "a2, b, unknown", "signal 11 (Segmentation fault)");
    size_t const again = note_death(0, "b", "a second fault");
    _exit(n == 4 && again == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::vector<Death_Record> records;
  ASSERT_TRUE(read_deaths_file(records));
  std::vector<std::string> got;
  for (const Death_Record& r : records)
    got.push_back(r.site.service + "|" + r.site.library + "|" + std::to_string(r.site.directive) +
                  "|" + r.text);
  EXPECT_EQ(got, (std::vector<std::string>{"old|/lib/o.so|4|signal 11 at 0x0",
                                           "a1|/lib/a.so|1|signal 11 (Segmentation fault)",
                                           "a2|/lib/a.so|2|signal 11 (Segmentation fault)",
                                           "b|/lib/b.so|3|signal 11 (Segmentation fault)",
                                           "unknown||0|signal 11 (Segmentation fault)"}));
}

TEST(Quarantine, DecidedByCountWindowAndChanges)
{
  time_t const now = 100000;
  Blame_Site const a = site("a", "/a.so", 1);
  struct Row
  {
    const char* what;
    std::vector<Death_Record> records;
    std::map<std::string, uint64_t> directives;
    std::vector<std::string> quarantined;  ///< "name:deaths"
    std::vector<std::string> released;
    size_t kept;
  } const rows[] = {
      {"two deaths are not enough", {death(a, now - 10), death(a, now - 5)}, {{"a", 1}}, {}, {}, 2},
      {"three within the window", {death(a, now - 500), death(a, now - 10), death(a, now - 5)},
       {{"a", 1}}, {"a:3"}, {}, 4},
      {"one of three is too old, and dropped",
       {death(a, now - 700), death(a, now - 10), death(a, now - 5)}, {{"a", 1}}, {}, {}, 2},
      {"a quarantine stands after its deaths age",
       {death(a, now - 5000), death(a, now - 4000, Death_Record::QUARANTINE)}, {{"a", 1}},
       {"a:3"}, {}, 2},
      {"a new build releases it",
       {death(site("a", "/new.so", 1), now - 9), death(site("a", "/new.so", 1), now - 8, Death_Record::QUARANTINE)},
       {{"a", 1}}, {}, {"a:its library changed"}, 0},
      {"a library gone releases it",
       {death(site("a", "/gone.so", 1), now - 8, Death_Record::QUARANTINE)}, {{"a", 1}}, {},
       {"a:its library changed"}, 0},
      {"a changed directive releases it, and its deaths no longer count",
       {death(a, now - 9), death(a, now - 8), death(a, now - 7), death(a, now - 6, Death_Record::QUARANTINE)},
       {{"a", 2}}, {}, {"a:its directive changed"}, 0},
      {"a service no longer configured keeps its quarantine",
       {death(a, now - 8, Death_Record::QUARANTINE)}, {}, {"a:3"}, {}, 1},
      {"deaths of every service of a library count for each",
       {death(site("b1", "/b.so", 2), now - 3), death(site("b2", "/b.so", 3), now - 3),
        death(site("b1", "/b.so", 2), now - 2), death(site("b2", "/b.so", 3), now - 2),
        death(site("b1", "/b.so", 2), now - 1), death(site("b2", "/b.so", 3), now - 1)},
       {{"b1", 2}, {"b2", 3}}, {"b1:3", "b2:3"}, {}, 8},
      {"a death written without a directive matches any",
       {death(site("s", "", 0), now - 3), death(site("s", "", 0), now - 2), death(site("s", "", 0), now - 1)},
       {{"s", 42}}, {"s:3"}, {}, 4},
  };
  Quarantine_Policy policy;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Quarantine_Decision const d = decide_quarantine(row.records, row.directives, policy, now, fake_stamp);
    std::vector<std::string> q, r;
    for (const Quarantined_Service& s : d.quarantined)
      q.push_back(s.service + ":" + std::to_string(s.deaths));
    for (const Quarantine_Release& s : d.released)
      r.push_back(s.service + ":" + s.why);
    EXPECT_EQ(q, row.quarantined);
    EXPECT_EQ(r, row.released);
    EXPECT_EQ(d.kept.size(), row.kept);
    // Decided again from what is kept, the answer is the same: the file is stable.
    Quarantine_Decision const again = decide_quarantine(d.kept, row.directives, policy, now + 1, fake_stamp);
    EXPECT_EQ(again.quarantined.size(), d.quarantined.size());
    EXPECT_EQ(again.kept.size(), d.kept.size());
  }
}

// The real host: a service that crashes it set aside, the others kept running.

namespace {

/// starterctl's output for @a words against the control socket @a control.
std::string starterctl(const std::string& control, const std::vector<std::string>& words)
{
  Host_Process ctl;
  std::vector<std::string> args = {"--control", control};
  args.insert(args.end(), words.begin(), words.end());
  if (!ctl.start(args, {}, {}, STARTERCTL_BINARY) || !ctl.wait_exit())
    return "starterctl did not run";
  return ctl.stdout_text() + ctl.stderr_text();
}

std::string probe_directive(const std::string& name, const std::string& lib, const std::string& rec,
                            const std::string& options)
{
  return "dynamic " + name + " Service_Object * " + lib + ":_make_Probe_Service() \"-o " + rec +
         " -n " + name + " " + options + "\"\n";
}

}  // namespace

TEST(Quarantine_Host, ACrashingServiceIsSetAsideAfterThreeDeathsAndComesBackWhenReleased)
{
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers report the service's deliberate fault and end the host themselves";
#endif
  struct Row
  {
    const char* what;
    const char* options;
  } const rows[] = {{"a fault in a handler", "-t 100 -C null"}, {"a fault in its init", "-K"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Temp_Dir d;
    std::string const rec = d / "rec";
    // A library of its own: the blame goes to every service of the library it lies in.
    std::string const crasher = d / "libcrasher.so";
    ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_LIBRARY " " + crasher).c_str()));
    std::string const conf = d.write("svc.conf", probe_directive("Healthy", PROBE_SERVICE_LIBRARY, rec, "-t 50") +
                                                     probe_directive("Crasher", crasher, rec, row.options));
    std::vector<std::string> const args = {"--state-dir", d / "state", "--control", d / "ctl", "-f", conf};
    // Each start dies by the crasher's fault until it is set aside.
    int deaths = 0;
    for (; deaths <= 3; ++deaths) {
      Host_Process h;
      ASSERT_TRUE(h.start(args));
      bool set_aside = false;
      for (int i = 0; i < 200 && !set_aside && !h.wait_exit(std::chrono::milliseconds(100)); ++i)
        set_aside = h.stderr_text().find("is quarantined") != std::string::npos;
      if (set_aside)
        break;
      ASSERT_TRUE(h.exited());
      ASSERT_EQ(h.term_signal(), SIGSEGV) << h.stderr_text();
    }
    EXPECT_EQ(deaths, 3);
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_for_stderr("service Crasher is quarantined, not opened: blamed for 3 deaths"))
        << h.stderr_text();
    EXPECT_NE(h.stderr_text().find("'starterctl release Crasher' then a reload"), std::string::npos);
    ASSERT_TRUE(wait_for_file(rec, "timeout Healthy", std::chrono::seconds(5), 3));
    std::string const status = starterctl(d / "ctl", {"status"});
    EXPECT_NE(status.find("\nHealthy  Service_Object  active"), std::string::npos) << status;
    EXPECT_NE(status.find("\nCrasher  Service_Object  quarantined"), std::string::npos) << status;
    EXPECT_NE(status.find("3 deaths, the last"), std::string::npos) << status;

    EXPECT_NE(starterctl(d / "ctl", {"release", "Crasher"}).find("released 'Crasher'"), std::string::npos);
    starterctl(d / "ctl", {"reload"});
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(h.term_signal(), SIGSEGV) << h.stderr_text();
  }
}

TEST(Quarantine_Host, ANewBuildOrAChangedDirectiveReleasesIt)
{
  struct Row
  {
    const char* what;
    bool new_build;
    const char* released_by;
  } const rows[] = {{"a new build of its library", true, "its library changed"},
                    {"its directive changed", false, "its directive changed"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Temp_Dir d;
    std::string const lib = d / "libprobe.so";
    ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_LIBRARY " " + lib).c_str()));
    std::string const rec = d / "rec";
    std::string const directive = probe_directive("Crasher", lib, rec, "");
    std::string const conf = d.write("svc.conf", directive);
    // Three deaths as a dying host writes them, against the library and directive as they are.
    std::vector<Conf_Problem> problems;
    std::vector<Conf_Entry> entries;
    read_directives(directive, conf, problems, nullptr, &entries);
    ASSERT_EQ(entries.size(), 1u);
    Blame_Site s = site("Crasher", lib, directive_hash(entries[0].normal));
    ASSERT_TRUE(stamp_file(lib, s.stamp));
    std::string deaths_text;
    for (int i = 1; i <= 3; ++i)
      deaths_text += format_death_record(death(s, time(0) - i)) + "\n";
    d.mkdir("state");
    d.write("state/deaths", deaths_text);
    std::vector<std::string> const args = {"--state-dir", d / "state", "-f", conf};
    {
      Host_Process h;
      ASSERT_TRUE(h.start(args));
      ASSERT_TRUE(h.wait_for_stderr("service Crasher is quarantined")) << h.stderr_text();
      h.send(SIGTERM);
      ASSERT_TRUE(h.wait_exit());
    }
    if (row.new_build) {
      ASSERT_EQ(0, std::system(("cp " PROBE_SERVICE_LIBRARY " " + lib + ".new && mv " + lib + ".new " + lib).c_str()));
    } else {
      d.write("svc.conf", probe_directive("Crasher", lib, rec, "-n Crasher2"));
    }
    Host_Process h;
    ASSERT_TRUE(h.start(args));
    ASSERT_TRUE(h.wait_for_stderr(std::string("Service Crasher is no longer quarantined: ") + row.released_by))
        << h.stderr_text();
    ASSERT_TRUE(wait_for_file(rec, "init "));
    h.send(SIGTERM);
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(read_file(d / "state/deaths"), "");
  }
}
