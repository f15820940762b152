// The configuration check: a table of directives the Service Configurator accepts (every form
// of its language), which the check must accept too, and one of each kind of error it must
// report with its line; then libraries and factories, and --check on the real binary.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <ace/Service_Config.h>

#include "starter/config/apply.h"
#include "starter/config/check.h"
#include "starter/config/pipeline.h"
#include "support/host_process.h"
#include "support/temp_dir.h"

namespace {

std::string problems_of(const std::string& text, bool load = false)
{
  std::vector<Conf_Problem> p;
  check_directives(text, "f.conf", load, p);
  std::string all;
  for (const Conf_Problem& q : p)
    all += format_problem(q) + "\n";
  return all;
}

const char* const valid[] = {
    "",
    "# only a comment\n\n   # another\n",
    "dynamic A Service_Object * lib:_make_A() \"-p 1 -x\"",
    "dynamic A Service_Object * lib:_make_A() active \"-p 1\"",
    "dynamic A Service_Object * lib:_make_A() inactive",
    "dynamic A Service_Object * lib:_make_A()",
    "dynamic A Service_Object * lib:an_object",
    "dynamic A Service_Object * \"/with blank/lib.so\":_make_A() 'params here'",
    "dynamic A Service_Object * 'lib':_make_A()\n  'params on the next line'",
    "dynamic A Service_Object * :_make_A()",
    "dynamic A Service_Object * C:x.so:_make_A()",
    "dynamic A Service_Object * %:x.so:_make_A()",
    "dynamic A Service_Object * 9lib$x~%:_make_A()",
    "dynamic A Service_Object * lib:_make_A() \"a\" \"b\"",  // one string: to the last quote
    "dynamic A Service_Object * lib : _make_A ( ) \"x\" # comment",
    "dynamic\nA\nService_Object\n*\nlib:_make_A()\n\"x\"\n",
    "dynamic A Service_Object*lib:_make_A()active \"x\"static B",
    "\tstatic A\r\n static B \"-d\" # trailing comment\n",
    "static S! static Fü static $x",
    "suspend A\nresume A\nremove A",
    "stream S",
    "stream S {}",
    "\f\v static A \v\n\fstatic B",  // the blanks of isspace() before a word
    "dynamic A Service_Object * ../rel/x.so:_make_A()",
    "static A\nremove A\nstatic A",
    "static streams static actives static Modules",  // a keyword's first letter and length
};

/// ACE's network services, as an operator names them: found and loadable here.
const char netsvcs[] =
    "dynamic Time Service_Object * netsvcs:_make_ACE_TS_Server_Acceptor() \"-p 20222\"\n"
    "dynamic Logger Service_Object * netsvcs:_make_ACE_Server_Logging_Acceptor() \"-p 20009\"\n"
    "dynamic Names Service_Object * netsvcs:_make_ACE_Name_Acceptor() \"-p 20006\"\n";

TEST(ConfCheck, AcceptsEveryFormTheConfiguratorAccepts)
{
  for (const char* text : valid) {
    SCOPED_TRACE(text);
    EXPECT_EQ("", problems_of(text));
  }
  EXPECT_EQ("", problems_of(netsvcs, true));
  // The repository's examples, libraries included (the example service only by its grammar,
  // as it is found through LD_LIBRARY_PATH).
  for (const char* f : {"/examples/conf.d/10-time.conf", "/examples/conf.d/20-name.conf"}) {
    std::vector<Conf_Problem> p;
    check_conf_file(std::string(STARTER_SOURCE_DIR) + f, true, p);
    EXPECT_TRUE(p.empty()) << f << ": " << (p.empty() ? "" : format_problem(p[0]));
  }
  std::vector<Conf_Problem> p;
  check_conf_file(std::string(STARTER_SOURCE_DIR) + "/examples/hello.conf", false, p);
  EXPECT_TRUE(p.empty());
}

TEST(ConfCheck, ReportsEachKindOfErrorWithItsLine)
{
  struct Row
  {
    std::string text;
    std::string problem;
  } const rows[] = {
      {"static A\ngarbage", "f.conf:2: syntax error: expected a directive (dynamic, static, "
                            "suspend, resume, remove, stream), found 'garbage'"},
      {"dynamic A Service_Object lib:f()", "f.conf:1: syntax error: expected \"*\", found 'lib'"},
      {"dynamic A Stream * lib:f()", "f.conf:1: syntax error: expected Module, Service_Object or "
                                     "STREAM, found 'Stream'"},
      {"\n\ndynamic A Service_Object * lib", "f.conf:3: syntax error: expected \":\" before the end"},
      {"static A\nstatic B \"open", "f.conf:2: quoted text without its closing quote"},
      {"dynamic A Service_Object * lib:f() \"x\" active",
       "f.conf:1: syntax error: expected a directive (dynamic, static, suspend, resume, remove, "
       "stream), found 'active'"},
      {"remove \"A\"", "f.conf:1: syntax error: expected a service name, found quoted text \"A\""},
      {"static Module", "f.conf:1: syntax error: expected a service name, found 'Module'"},
      {"stream S { stream T }", "f.conf:1: syntax error: expected a module directive (dynamic, "
                                "static, suspend, resume, remove) or \"}\", found 'stream'"},
      {"stream S {\n \n", "f.conf:3: syntax error: expected a module directive (dynamic, "
                                  "static, suspend, resume, remove) or \"}\" before the end"},
      {"dynamic A Service_Object * lib:make.x()", "f.conf:1: syntax error: expected a factory "
                                                  "name, found 'make.x'"},
      {"dynamic A Service_Object * a:make()", "f.conf:1: syntax error: expected \":\", found '('"},
      {"dynamic A Service_Object * \"lib\":f() \"args\"",
       "f.conf:1: syntax error: expected \":\" before the end"},
      {"dynamic A Service_Object * :f", "f.conf:1: syntax error: expected \"(\" before the end"},
      {"dynamic 1A Service_Object * lib:f()", "f.conf:1: syntax error: expected a service name, "
                                              "found '1A'"},
      // What the Configurator would read otherwise than written.
      {"static A\ndynamic Log#1 Service_Object * lib:f()",
       "f.conf:2: '#' inside the word 'Log#': the Service Configurator drops the word and reads "
       "the rest of the line as a comment"},
      {"static A'x'", "f.conf:1: a quote inside the word 'A'': the Service Configurator reads a "
                      "quoted text from its second character"},
      {"static A\f\nstatic B", "f.conf:1: a form feed or vertical tab inside the word 'A\f': the "
                               "Service Configurator takes it as part of the word"},
      {"static A\vB", "f.conf:1: a form feed or vertical tab inside the word 'A\vB': the Service "
                      "Configurator takes it as part of the word"},
      {"dynamic A Service_Object * lib:a-b()", "f.conf:1: syntax error: expected a factory "
                                               "name, found 'a-b'"},
      {std::string("static A\0static B", 17), "f.conf:1: a NUL byte: the Service Configurator ends "
                                              "its input there"},
      {"static " + std::string(4096, 'A'), "f.conf:1: a word of 4096 bytes: the Service "
                                            "Configurator reads at most 4095 at once and ends its "
                                            "input there"},
      {"static A \"" + std::string(4094, 'a') + "\"", "f.conf:1: quoted text runs 4096 bytes to "
       "the end of its line: the Service Configurator reads at most 4095 at once and ends its "
       "input there"},
      {"static A\n\nstatic A", "f.conf:3: service A is defined again: first at f.conf:1; the "
                               "last one wins and each reload opens the first again"},
      // Two problems on one line: what the reader would misread first, then the syntax error.
      {"dynamic A Stream * lib:f() x#y",
       "f.conf:1: '#' inside the word 'x#': the Service Configurator drops the word and reads "
       "the rest of the line as a comment\nf.conf:1: syntax error: expected Module, "
       "Service_Object or STREAM, found 'Stream'"},
      // Reading goes on after a refused word, and after a directive that spans lines.
      {"static A'x'\nstatic\nB\nstatic C junk",
       "f.conf:1: a quote inside the word 'A'': the Service Configurator reads a quoted text "
       "from its second character\nf.conf:4: syntax error: expected a directive (dynamic, "
       "static, suspend, resume, remove, stream), found 'junk'"},
      // What the Configurator would crash on.
      {"dynamic M Module * lib:f()", "f.conf:1: service M: type Module: the host opens "
       "Service_Object services only, as the Service Configurator cannot tell what a factory "
       "makes and crashes when it is not a Module"},
      {"stream a {\n remove X }", "f.conf:2: module X: stream a is not defined before this "
                                  "directive: the Service Configurator crashes on it"},
      {"dynamic S Service_Object * lib:f()\nstream S { suspend M }", "f.conf:2: module M: S is "
       "a service object, not a stream: the Service Configurator cannot carry it out"},
      {"stream S { static M }", "f.conf:1: static inside a stream's body: the Service "
                                "Configurator cannot carry it out (it pushes a module it does "
                                "not check)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text.substr(0, 60));
    EXPECT_EQ(r.problem + "\n", problems_of(r.text));
  }
  // After an error the check goes on with the next directive.
  EXPECT_EQ(2u, count_of(problems_of("static\nstatic A\nstatic B junk\nstatic C"), "\n"));
  // Texts read one after another: a name defined again is told with the file it was first
  // defined in, past a file that defines nothing.
  Conf_Known known;
  std::vector<Conf_Problem> p;
  const struct
  {
    const char* where;
    const char* text;
  } texts[] = {{"a.conf", "static A"}, {"b.conf", "# nothing"}, {"c.conf", "\nstatic B"},
               {"d.conf", "static B\nstatic A"}};
  for (const auto& t : texts)
    read_directives(t.text, t.where, p, &known, nullptr, nullptr);
  ASSERT_EQ(2u, p.size());
  EXPECT_NE(std::string::npos, format_problem(p[0]).find("d.conf:1: service B is defined again: "
                                                         "first at c.conf:2;"));
  EXPECT_NE(std::string::npos, format_problem(p[1]).find("d.conf:2: service A is defined again: "
                                                         "first at a.conf:1;"));
}

TEST(ConfCheck, FindsLibrariesAsTheLoaderDoesAndTheirFactories)
{
  std::string const probe = PROBE_SERVICE_LIBRARY;
  std::string const faulty = FAULTY_SERVICE_LIBRARY;
  std::string const unresolved = FAULTY_UNRESOLVED_LIBRARY;
  struct Row
  {
    std::string text;
    std::string problem;
  } const rows[] = {
      {"dynamic P Service_Object * " + probe + ":_make_Probe_Service()", ""},
      {"\ndynamic P Service_Object * " + probe + ":_make_Nothing()",
       "f.conf:2: service P: library '" + probe + "' has no symbol '_make_Nothing'"},
      // The newcomer's mistakes, each with its remedy.
      {"dynamic P Service_Object * " + probe + ":_make_Probe_Service",
       "f.conf:1: service P: '_make_Probe_Service' in '" + probe + "' is a function, not an "
       "object: the Service Configurator would take its code for the service and crash; write "
       "'_make_Probe_Service()'"},
      {"dynamic F Service_Object * " + faulty + ":_make_Faulty_Service()",
       "f.conf:1: service F: library '" + faulty + "' has no symbol '_make_Faulty_Service', only "
       "the C++ function '_make_Faulty_Service(void (**)(void*))': declare it extern \"C\""},
      {"dynamic U Service_Object * " + unresolved + ":_make_Faulty_C()",
       "f.conf:1: service U: library '" + unresolved + "' (" + unresolved + ") leaves symbol "
       "'faulty_missing_helper' unresolved: link it with the library that defines it"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(r.problem.empty() ? "" : r.problem + "\n", problems_of(r.text, true));
  }
  std::string const missing = problems_of("dynamic M Service_Object * no_such_lib:_make_M()", true);
  EXPECT_EQ(0u, missing.find("f.conf:1: service M: cannot load library 'no_such_lib': ")) << missing;
  EXPECT_NE(std::string::npos, missing.find("libno_such_lib.so")) << "every name tried: " << missing;
  // Runs of one library: what one directive found answers for the next only when it names the
  // same library and factory; each directive that fails gets its own problem and line.
  auto probe_line_of = [&](const char* name, const char* factory) {
    return std::string("dynamic ") + name + " Service_Object * " + probe + ":" + factory + "\n";
  };
  EXPECT_EQ("f.conf:3: service C: library '" + probe + "' has no symbol '_make_Nothing'\n",
            problems_of(probe_line_of("A", "_make_Probe_Service()") +
                            probe_line_of("B", "_make_Probe_Service()") +
                            probe_line_of("C", "_make_Nothing()") +
                            probe_line_of("D", "_make_Probe_Service()"), true));
  std::string const twice = problems_of("dynamic M Service_Object * no_such_lib:_make_M()\n"
                                        "dynamic N Service_Object * no_such_lib:_make_M()", true);
  EXPECT_EQ(0u, twice.find("f.conf:1: service M: cannot load library")) << twice;
  EXPECT_NE(std::string::npos, twice.find("\nf.conf:2: service N: cannot load library")) << twice;
}

// A library named by a relative path is named against the starting directory wherever it
// stands: unquoted, quoted with blanks in it, after a comment; absolute ones and arguments that
// hold a "/" are left as written.
TEST(ConfCheck, NamesRelativeLibrariesAgainstTheStartingDirectoryWhereverTheyStand)
{
  struct Row
  {
    const char* text;
    const char* applied;  ///< what the applied text holds, or null when it is the text
  } const rows[] = {
      {"dynamic A Service_Object * lib/x.so:_make_A()", "* /base/lib/x.so:"},
      {"dynamic A Service_Object * \"lib /x.so\":_make_A()", "* \"/base/lib /x.so\":"},
      {"dynamic A Service_Object *\n# a comment\n'dir /x.so':_make_A()", "\"/base/dir /x.so\":"},
      {"static S \"-f a\" dynamic B Service_Object * 'x/b.so':_make_B()", "* /base/x/b.so:"},
      {"dynamic A Service_Object * /abs/x.so:_make_A() \"-f a/b\"", nullptr},
      {"dynamic A Service_Object * netsvcs:_make_A() \"-f /var/log/x\" # see a/b", nullptr},
      {"static S \"-f /a\"\ndynamic B Service_Object * x/b.so:_make_B()", "* /base/x/b.so:"},
      {"dynamic A Service_Object * \"/abs dir/x.so\":_make_A() \"-f a b/c\"", nullptr},
  };
  Temp_Dir d;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    std::string const f = d.write("f.conf", r.text);
    std::vector<Conf_Problem> problems;
    Conf_Texts texts;
    check_files_and_directives({f}, {}, problems, &texts, "/base");
    ASSERT_EQ(1u, texts.count(f));
    if (r.applied == nullptr)
      EXPECT_EQ(r.text, texts[f]);
    else
      EXPECT_NE(std::string::npos, texts[f].find(r.applied)) << texts[f];
  }
}

// The services the check finds a file's directives naming, which the control socket shows with
// their line and arguments: as a reading of the text alone finds them, each from its file.
TEST(ConfCheck, NamesEachServiceWithItsLineAndArgumentsAsTheTextAloneReadsThem)
{
  struct Row
  {
    const char* text;
    const char* services;  ///< "LINE NAME ARGUMENTS;" each
  } const rows[] = {
      {"dynamic A Service_Object * lib:f() \"-p 1\"", "1 A -p 1;"},
      {"static S\n\ndynamic\nB Service_Object * lib:f() active 'x y'", "1 S ;4 B x y;"},
      {"stream dynamic T Service_Object * lib:f() { dynamic M Service_Object * lib:g() \"m\" }",
       "1 T ;1 M m;"},
      {"static A junk\nstatic B 'x'\nremove A", "1 A ;2 B x;"},
  };
  Temp_Dir d;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text);
    std::string const f = d.write("f.conf", r.text);
    std::vector<Conf_Problem> problems;
    std::vector<Conf_Service> services;
    check_files_and_directives({f}, {}, problems, nullptr, "", nullptr, nullptr, &services);
    auto shown = [](const std::vector<Conf_Service>& v, const std::string& where) {
      std::string all;
      for (const Conf_Service& s : v)
        all += (s.where == where ? "" : "(" + s.where + ")") + std::to_string(s.line) + " " +
               s.name + " " + s.arguments + ";";
      return all;
    };
    EXPECT_EQ(r.services, shown(services, f));
    EXPECT_EQ(r.services, shown(read_service_directives(r.text), ""));
  }
}

// A start-up's check: a file the Configurator would crash on is left out, and with it its
// directives and services, which are neither applied nor shown; the others keep their order.
TEST(ConfPipeline, WhatIsLeftOutIsNeitherAppliedNorShown)
{
  Temp_Dir d;
  std::string const dir = d.mkdir("conf.d");
  d.write("conf.d/a.conf", "static A\nstatic B \"b\"\n");
  d.write("conf.d/b.conf", "dynamic M Module * lib:_make_M()\nstatic C\n");
  d.write("conf.d/c.conf", "static D\n");
  Config_Source source;
  source.program = "starter";
  source.words = {{'f', dir}};
  Checked_Config out;
  assemble_and_check(source, true, out);
  std::string entries;
  std::string services;
  for (const Conf_Entry& e : out.entries)
    entries += e.where.substr(e.where.size() - 6) + ":" + e.normal + ";";
  for (const Conf_Service& s : out.services)
    services += s.where.substr(s.where.size() - 6) + ":" + s.name + ";";
  EXPECT_EQ("a.conf:static A;a.conf:static B \"b\";c.conf:static D;", entries);
  EXPECT_EQ("a.conf:A;a.conf:B;c.conf:D;", services);
  EXPECT_EQ(0u, out.texts.count(dir + "/b.conf"));
}

TEST(ConfCheck, CheckOptionExitsOneOnEachErrorAndZeroOnValidFiles)
{
  Temp_Dir d;
  // Every form: no syntax problem (their made-up libraries are not found, so it exits 1).
  std::vector<std::string> args{"--check"};
  for (size_t i = 0; i < sizeof valid / sizeof valid[0]; ++i) {
    args.push_back("-f");
    args.push_back(d.write("v" + std::to_string(i) + ".conf", valid[i]));
  }
  Host_Process forms;
  ASSERT_TRUE(forms.start(args));
  ASSERT_TRUE(forms.wait_exit());
  EXPECT_EQ(std::string::npos, forms.stderr_text().find("syntax")) << forms.stderr_text();
  EXPECT_EQ(std::string::npos, forms.stderr_text().find("quote")) << forms.stderr_text();

  // Loadable services, the examples and a command-line directive: all well.
  Host_Process ok;
  ASSERT_TRUE(ok.start({"--check", "-f", d.write("net.conf", netsvcs), "-f",
                        std::string(STARTER_SOURCE_DIR) + "/examples/conf.d", "-f",
                        d.write("p.conf", probe_line("P", d / "rec", "-t 10")), "-S",
                        "static From_The_Command_Line \"-x\""}));
  ASSERT_TRUE(ok.wait_exit());
  EXPECT_EQ(0, ok.exit_code()) << ok.stderr_text();
  EXPECT_EQ("", ok.stderr_text());
  EXPECT_EQ("", read_file(d / "rec")) << "no service is created";

  struct Bad
  {
    std::string text;
    std::string problem;
  } const bad[] = {
      {"static A\ngarbage", "bad.conf:2: syntax error"},
      {"dynamic P Service_Object * " + std::string(PROBE_SERVICE_LIBRARY) + ":_make_Nothing()",
       "bad.conf:1: service P: library"},
      {"dynamic M Service_Object * no_such_lib:_make_M()", "bad.conf:1: service M: cannot load"},
      // The newcomer's mistakes, with their remedies (a function named without "()" is among
      // the configurations that would crash the host, in test_config_hazards).
      {"dynamic F Service_Object * " + std::string(FAULTY_SERVICE_LIBRARY) +
           ":_make_Faulty_Service()", "bad.conf:1: service F: library '" FAULTY_SERVICE_LIBRARY
       "' has no symbol '_make_Faulty_Service', only the C++ function"},
      {"dynamic U Service_Object * " + std::string(FAULTY_UNRESOLVED_LIBRARY) + ":_make_Faulty_C()",
       "bad.conf:1: service U: library '" FAULTY_UNRESOLVED_LIBRARY "' (" FAULTY_UNRESOLVED_LIBRARY
       ") leaves symbol 'faulty_missing_helper' unresolved"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    std::string const f = d.write("bad.conf", b.text);
    Host_Process h;
    ASSERT_TRUE(h.start({"--check", "-f", f}));
    ASSERT_TRUE(h.wait_exit());
    EXPECT_EQ(1, h.exit_code());
    EXPECT_EQ(0u, h.stderr_text().find(d / b.problem)) << h.stderr_text();
  }
}

TEST(ConfApply, KeepsEveryDirectiveLineWhateverTheChunks)
{
  // What the check keeps of a file, whatever the chunks it is read in.
  struct Kept
  {
    const char* file;
    const char* kept;
  } const kept[] = {
      {"# c\n\n  static A # t\n\t# x\r\nstatic B", "\n\nstatic A # t\n\nstatic B"},
      {" \r\n\tdynamic A\n   Service_Object *\n#", "\ndynamic A\nService_Object *\n"},
      {"static A \"#not a comment\"\n", "static A \"#not a comment\"\n"},
  };
  for (const Kept& k : kept) {
    SCOPED_TRACE(k.file);
    std::string const file = k.file;
    for (size_t chunk : {file.size() + 1, size_t(1), size_t(2)}) {
      Directive_Text t;
      for (size_t at = 0; at < file.size(); at += chunk)
        t.add(file.data() + at, std::min(chunk, file.size() - at));
      EXPECT_EQ(k.kept, t.text) << "chunks of " << chunk;
    }
  }
  // A NUL byte in a comment stays, for the check to report, however the file is read.
  std::string const nul("static A\n# a\0b\nstatic B\n", 22);
  for (size_t chunk : {nul.size(), size_t(1), size_t(2)}) {
    Directive_Text t;
    for (size_t at = 0; at < nul.size(); at += chunk)
      t.add(nul.data() + at, std::min(chunk, nul.size() - at));
    EXPECT_NE(std::string::npos, t.text.find('\0')) << "chunks of " << chunk;
  }
}

TEST(ConfApply, DirectivesApplyWhatTheWholeTextAppliesInOrderWithItsErrorCount)
{
  Temp_Dir d;
  std::string const lib = PROBE_SERVICE_LIBRARY;
  std::string const comments(40000, '#');  // one long comment line between directives
  // Services named per run, so the second run opens its own; the records are the same.
  auto text = [&](const std::string& run, const std::string& rec) {
    auto probe = [&](const std::string& name, const char* more) {
      return "dynamic " + run + name + " Service_Object * " + lib + ":_make_Probe_Service() \"-o " +
             rec + " -n " + name + more + "\"\n";
    };
    return probe("one", "") + comments + "\n" + probe("two", " -F") +
           "dynamic " + run + "M Service_Object * no_such_lib:_make_M()\n" + comments + "\n" +
           "remove " + run + "one\n" + probe("three", "");
  };
  int const whole = ACE_Service_Config::process_directive(text("W", d / "whole").c_str());
  int const in_pieces = apply_text("f.conf", text("P", d / "pieces"));
  EXPECT_EQ(2, whole) << "a service that fails to open and a library not found";
  EXPECT_EQ(whole, in_pieces);
  std::string const records = read_file(d / "whole");
  EXPECT_LT(records.find("init one"), records.find("init two"));
  EXPECT_LT(records.find("init two"), records.find("fini one"));
  EXPECT_LT(records.find("fini one"), records.find("init three"));
  EXPECT_EQ(records, read_file(d / "pieces"));
  ACE_Service_Config::process_directive("remove Wthree\nremove Pthree\nremove Wtwo\nremove Ptwo");
}

}  // namespace

// A long list of files is read ahead on a second processor: what each file gives (its problems,
// in order, and its text) is what it gives checked alone, whatever it is or became after the
// walk.
TEST(ConfCheck, ALongListOfFilesGivesWhatEachFileGivesAlone)
{
  Temp_Dir d;
  d.mkdir("conf.d");
  std::vector<std::string> files;
  for (size_t i = 0; i < 2 * Conf_Read_Ahead::MIN_FILES; ++i)
    files.push_back(d.write("conf.d/c" + std::to_string(1000 + i) + ".conf", "# nothing\n"));
  struct Row
  {
    const char* name;
    std::string text;  ///< empty for a FIFO, a directory or nothing at all, as the name says
  };
  std::string const long_text = std::string(70000, '#') + "\nstatic C junk\n";
  const Row rows[] = {
      {"c1001.conf", "static A\ngarbage"},
      {"c1002.conf", ""},
      {"c1003.conf", long_text},
      {"c1005.conf", "fifo"},
      {"c1006.conf", "gone"},
      {"c1007.conf", "directory"},
      {"c1008.conf", "too large"},
      {"c1090.conf", "static B \"x\"\n"},
  };
  for (const Row& r : rows) {
    std::string const path = d / ("conf.d/" + std::string(r.name));
    ASSERT_EQ(0, ::unlink(path.c_str()));
    if (r.text == "fifo")
      ASSERT_EQ(0, ::mkfifo(path.c_str(), 0644));
    else if (r.text == "directory")
      d.mkdir("conf.d/" + std::string(r.name));
    else if (r.text == "too large")
      ASSERT_EQ(0, ::truncate(d.write("conf.d/" + std::string(r.name), "static A\n").c_str(),
                              CONF_MAX_FILE_SIZE + 1));
    else if (r.text != "gone")
      d.write("conf.d/" + std::string(r.name), r.text);
  }
  std::vector<Conf_Problem> all;
  Conf_Texts texts;
  check_files_and_directives(files, {}, all, &texts);
  std::string alone;
  Conf_Texts texts_alone;
  for (const std::string& f : files) {
    std::vector<Conf_Problem> p;
    check_files_and_directives({f}, {}, p, &texts_alone);
    for (const Conf_Problem& q : p)
      alone += format_problem(q) + "\n";
  }
  std::string together;
  for (const Conf_Problem& q : all)
    together += format_problem(q) + "\n";
  EXPECT_EQ(alone, together);
  EXPECT_EQ(6u, std::count(alone.begin(), alone.end(), '\n')) << alone;
  EXPECT_EQ(texts_alone, texts);
  EXPECT_EQ(files.size() - 4, texts.size());
}
