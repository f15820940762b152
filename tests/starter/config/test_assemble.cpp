// Assembly of the Service Configurator's argument vector from the host's command line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "starter/config/assemble.h"
#include "support/temp_dir.h"

namespace {

typedef std::vector<std::string> Words;

/// Runs the assembly over @a words and returns the vector the open function received.
Words assemble(Words words, bool skip_first_arg = true, const char* base_dir = nullptr)
{
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(&w[0]);
  argv.push_back(nullptr);
  Words got;
  bool const rc = open_service_config(static_cast<int>(words.size()), argv.data(), skip_first_arg,
                                      [&got](int argc, char** v) {
                                        for (int i = 0; i < argc; ++i)
                                          got.push_back(v[i]);
                                        return v[argc] == nullptr;
                                      }, base_dir);
  EXPECT_TRUE(rc) << "the vector handed on must end with a null pointer";
  return got;
}

TEST(OpenServiceConfig, WorkedExample)
{
  Temp_Dir d;
  std::string const conf = d.mkdir("conf.d");
  d.write("conf.d/20-net.conf", "");
  d.write("conf.d/10-log.conf", "");
  d.write("conf.d/old.conf.bak", "");
  d.write("conf.d/README", "");
  d.mkdir("conf.d/30-extra.conf");
  ASSERT_EQ(0, symlink(d.write("target", "").c_str(), (conf + "/40-link.conf").c_str()));
  // Links count by what they lead to: only a link to a regular file is read.
  ASSERT_EQ(0, symlink(d.mkdir("dir").c_str(), (conf + "/50-dir-link.conf").c_str()));
  ASSERT_EQ(0, symlink((d / "missing").c_str(), (conf + "/60-dangling.conf").c_str()));

  Words const got = assemble({"/usr/bin/starter", "--threads", "4", "-d", "-f", conf, "-S",
                              "remove Logger", "--background", "-p", "/run/starter.pid", "leftover"});
  // "-p" is the host's own: it writes the pid file itself.
  Words const want = {"/usr/bin/starter", "-d", "-f", conf + "/10-log.conf", "-f",
                      conf + "/20-net.conf", "-f", conf + "/40-link.conf", "-S", "remove Logger"};
  EXPECT_EQ(want, got);
}

TEST(OpenServiceConfig, FileArgumentPassesThrough)
{
  EXPECT_EQ((Words{"prog", "-f", "/etc/starter/main.conf"}),
            assemble({"prog", "-f", "/etc/starter/main.conf"}));
  EXPECT_EQ((Words{"prog", "-f", "/no/such/dir"}), assemble({"prog", "-f", "/no/such/dir"}));
}

TEST(OpenServiceConfig, OptionsKeptInOrderOthersDropped)
{
  EXPECT_EQ((Words{"dummy", "-y", "-n"}), assemble({"-y", "-n"}, false));
  // "-b" is the host's to carry out, so ACE never daemonizes a second time.
  EXPECT_EQ((Words{"p", "-n", "-k", "host:1", "-s", "10"}),
            assemble({"p", "--thread-pool", "8", "-b", "--thread-pool=8", "--reactor=tp", "-n",
                      "--user", "x", "-k", "host:1", "-s", "10", "--thread-pool"}));
  // A word after one of the host's own options is scanned on its own.
  EXPECT_EQ((Words{"p", "-n"}), assemble({"p", "--user", "-n"}));
  // "--" ends the scan.
  EXPECT_EQ((Words{"p", "-d"}), assemble({"p", "-d", "--", "-n"}));
}

TEST(OpenServiceConfig, DirectoriesInByteOrderEachOnlyItsOwn)
{
  Temp_Dir d;
  std::string const a = d.mkdir("a");
  std::string const b = d.mkdir("b");
  std::string const empty = d.mkdir("empty");
  d.write("a/b.conf", "");
  d.write("a/B.conf", "");
  d.write("a/a.conf", "");
  d.write("a/ab.conf", "");  // told from "a.conf" and "a-.conf" by their second byte
  d.write("a/a-.conf", "");
  d.write("a/\xc3\xa9.conf", "");  // a byte above 0x7f sorts after every ASCII letter
  d.write("a/settings-2.conf", "");  // names alike in their first eight bytes
  d.write("a/settings-10.conf", "");
  d.write("b/z.conf", "");
  EXPECT_EQ((Words{"p", "-f", a + "/B.conf", "-f", a + "/a-.conf", "-f", a + "/a.conf", "-f",
                   a + "/ab.conf", "-f", a + "/b.conf", "-f",
                   a + "/settings-10.conf", "-f", a + "/settings-2.conf", "-f",
                   a + "/\xc3\xa9.conf", "-d", "-f", b + "/z.conf"}),
            assemble({"p", "-f", a, "-f", empty, "-d", "-f", b}));
}

TEST(OpenServiceConfig, UnusualFileNamesArriveUnchanged)
{
  Temp_Dir d;
  std::string const dir = d.mkdir("odd dir");
  Words const names = {"with blank.conf", "with\"quote.conf", "with\ttab.conf",
                       "back\\slash.conf", "$HOME.conf", "it's.conf", "new\nline.conf"};
  Words want = {"p"};
  Words sorted = names;
  std::sort(sorted.begin(), sorted.end());
  for (const std::string& n : sorted) {
    d.write("odd dir/" + n, "");
    want.push_back("-f");
    want.push_back(dir + "/" + n);
  }
  EXPECT_EQ(want, assemble({"p", "-f", dir}));
}

TEST(OpenServiceConfig, BlanksInAnOptionValueStayOneElement)
{
  EXPECT_EQ((Words{"p", "-S", "remove Logger", "-k", "a b:20012"}),
            assemble({"p", "-S", "remove Logger", "-k", "a b:20012"}));
}

TEST(OpenServiceConfig, EnvironmentReferenceToADirectoryIsExpanded)
{
  Temp_Dir d;
  std::string const dir = d.mkdir("conf.d");
  d.write("conf.d/1.conf", "");
  d.write("conf.d/skip.txt", "");
  ASSERT_EQ(0, setenv("STARTER_TEST_CONF_DIR", dir.c_str(), 1));
  ASSERT_EQ(0, setenv("STARTER_TEST_CONF_FILE", "/etc/x.conf", 1));
  EXPECT_EQ((Words{"p", "-f", dir + "/1.conf", "-f", "/etc/x.conf"}),
            assemble({"p", "-f", "$STARTER_TEST_CONF_DIR", "-f", "$STARTER_TEST_CONF_FILE"}));
  unsetenv("STARTER_TEST_CONF_DIR");
  unsetenv("STARTER_TEST_CONF_FILE");
}

// Relative "-f" paths are taken against the base directory; a "-f" word that quoting and
// substitution turn into no element or several is handed on as written, never swallowing the
// option after it; an environment reference too long for ACE's buffer is left as written
// (ACE would write past its stack buffer, or abort).
TEST(OpenServiceConfig, EveryFileWordBecomesOnePath)
{
  Temp_Dir d;
  std::string const dir = d.mkdir("conf.d");
  d.write("conf.d/1.conf", "");
  std::string const base = d.path();
  ASSERT_EQ(0, setenv("STARTER_TEST_REL", "conf.d", 1));
  std::string const long_ref = "$" + std::string(4096, 'A');
  std::string const fitting_ref = "$" + std::string(4095, 'A');
  struct Row
  {
    Words args;
    Words want;
  } const rows[] = {
    {{"-f", "conf.d", "-f", "x.conf", "-f", "/abs.conf"},
     {"-f", dir + "/1.conf", "-f", base + "/x.conf", "-f", "/abs.conf"}},
    {{"-f", "$STARTER_TEST_REL"}, {"-f", dir + "/1.conf"}},
    {{"-f", "", "-f", "/a.conf"}, {"-f", "", "-f", "/a.conf"}},
    {{"-f", "/it's.conf", "-d"}, {"-f", "/it's.conf", "-d"}},
    {{"-f", "/a\nb.conf", "-n"}, {"-f", "/a\nb.conf", "-n"}},
    {{"-f", "/" + long_ref, "-S", long_ref, "-k", "h\t" + long_ref},
     {"-f", "/" + long_ref, "-S", long_ref, "-k", "h", long_ref}},
    {{"-f", "/" + fitting_ref}, {"-f", "/" + fitting_ref}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[1].substr(0, 40));
    Words args = row.args;
    args.insert(args.begin(), "p");
    Words want = row.want;
    want.insert(want.begin(), "p");
    EXPECT_EQ(want, assemble(args, true, base.c_str()));
  }
  unsetenv("STARTER_TEST_REL");
}

}  // namespace
