// Path configuration on real directories: what is created and what is only appended, the log
// records of each failure (and silence where nothing failed), environment expansion, and the
// editing operations on the finished path.
#include "scrt/path_conf.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log_capture.h"
#include "support/temp_dir.h"
#include "unprivileged.h"

namespace {

const char* const ARG_CHECK = ", prefix is NULL or \"\":\n";

/// The record of a failed creation of @a path with @a err, as the log must show it.
std::string mkdir_record(const std::string& path, int err)
{
  return "Failed to mkdir " + path + ", errno=" + std::to_string(err) + ", " +
         std::strerror(err) + "\n";
}

class PathConf : public ::testing::Test
{
protected:
  Temp_Dir dir_;
  std::string at(const std::string& rel) const { return dir_.path() + rel; }
};

TEST_F(PathConf, MissingPrefixIsLoggedOnceAndLeavesAnEmptyPath)
{
  for (const char* prefix : {static_cast<const char*>(nullptr), ""}) {
    for (bool with_sub : {false, true}) {
      SCOPED_TRACE(std::string(prefix ? "empty" : "null") + (with_sub ? ", with sub" : ""));
      Log_Capture capture;
      std::string const got =
          with_sub ? Path_Conf(prefix, at("/sub").c_str(), true, "base", 0755).str()
                   : Path_Conf(prefix, true, "base", 0755).str();
      EXPECT_EQ("", got);
      EXPECT_FALSE(exists(at("/sub"))) << "sub and basename are ignored";
      ASSERT_EQ(1u, capture.records.size());
      const Log_Capture::Record& r = capture.records[0];
      EXPECT_EQ(LM_EMERGENCY, r.priority);
      EXPECT_EQ(-1, r.status);
      EXPECT_NE(std::string::npos, r.text.find("Unexpected error in ")) << r.text;
      EXPECT_NE(std::string::npos, r.text.find("path_conf.cpp:")) << r.text;
      EXPECT_NE(std::string::npos, r.text.find(ARG_CHECK)) << r.text;
    }
  }
}

TEST_F(PathConf, CreatesThePrefixButNotTheBaseName)
{
  Log_Capture capture;
  Path_Conf const conf(at("/srv/x").c_str(), true, "f.conf", 0750);
  EXPECT_EQ(at("/srv/x/f.conf"), conf.str());
  ASSERT_TRUE(is_dir(at("/srv/x")));
  EXPECT_FALSE(exists(at("/srv/x/f.conf")));
  struct stat st;
  ASSERT_EQ(0, ::stat(at("/srv/x").c_str(), &st));
  mode_t const mask = ::umask(022);
  ::umask(mask);
  EXPECT_EQ(0750 & ~mask, st.st_mode & 07777);
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(PathConf, ExistingOrUncreatedDirectoryLogsNothing)
{
  Log_Capture capture;
  dir_.mkdir("there");
  EXPECT_EQ(at("/there/b"), Path_Conf(at("/there").c_str(), true, "b", 0755).str());
  EXPECT_EQ(at("/there"), Path_Conf(at("/there").c_str(), true, nullptr, 0755).str());
  EXPECT_EQ(at("/there"), Path_Conf(at("/there").c_str(), true, "", 0755).str());
  EXPECT_EQ(at("/not/yet/b"), Path_Conf(at("/not/yet").c_str(), false, "b", 0755).str());
  EXPECT_FALSE(exists(at("/not")));
  dir_.write("file", "");
  EXPECT_EQ(at("/file/x"), Path_Conf(at("/file/x").c_str(), false, nullptr, 0755).str())
      << "no creation, so no failure either";
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(PathConf, FailedCreationIsLoggedAndThePathKept)
{
  dir_.write("file", "");
  Log_Capture capture;
  EXPECT_EQ(at("/file/sub/base"), Path_Conf(at("/file/sub").c_str(), true, "base", 0755).str());
  ASSERT_EQ(1u, capture.records.size());
  EXPECT_EQ(LM_ERROR, capture.records[0].priority);
  EXPECT_EQ(-1, capture.records[0].status);
  EXPECT_EQ(mkdir_record(at("/file/sub"), ENOTDIR), capture.records[0].text);
}

TEST_F(PathConf, PrefixIsExpandedFromTheEnvironment)
{
  const char* const var = "SCRT_TEST_PATH_CONF_ROOT";
  ASSERT_EQ(0, ::setenv(var, dir_.path().c_str(), 1));
  Log_Capture capture;
  std::string const got = Path_Conf("$SCRT_TEST_PATH_CONF_ROOT/e", true, "$HOME", 0755).str();
  std::string const sub = Path_Conf("$SCRT_TEST_PATH_CONF_ROOT", "s", true, "b", 0755).str();
  ::unsetenv(var);
  EXPECT_EQ(at("/e/$HOME"), got) << "the base name is taken literally";
  EXPECT_TRUE(is_dir(at("/e")));
  EXPECT_EQ(at("/s/b"), sub);
  EXPECT_TRUE(is_dir(at("/s")));
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(PathConf, OverlongReferenceIsRefusedAsAFailedExpansion)
{
  // Longer than any name the expansion can hold: refused, not copied past its buffer.
  std::string const prefix = "$" + std::string(5000, 'A') + "/x";
  Log_Capture capture;
  EXPECT_EQ("", Path_Conf(prefix.c_str(), true, "b", 0755).str());
  ASSERT_EQ(1u, capture.records.size());
  EXPECT_EQ(LM_ERROR, capture.records[0].priority);
  EXPECT_EQ(-1, capture.records[0].status);
  EXPECT_EQ(0u, capture.records[0].text.find("Failed to strenvdup '$AAAA"));

  ::unsetenv("SCRT_TEST_UNSET");
  std::string const long_path = dir_.path() + "/$SCRT_TEST_UNSET/" + std::string(5000, 'p');
  EXPECT_EQ(long_path, Path_Conf(long_path.c_str(), false, nullptr, 0).str())
      << "a long text after the name is no reason to refuse";
}

TEST_F(PathConf, SubPathJoinsThePrefix)
{
  Log_Capture capture;
  EXPECT_EQ("/a/b", Path_Conf("/a", "b", false, nullptr, 0).str());
  EXPECT_EQ("/a", Path_Conf("/a", nullptr, false, nullptr, 0).str());
  EXPECT_EQ("/a", Path_Conf("/a", "", false, nullptr, 0).str());
  EXPECT_EQ("/a/b/c", Path_Conf("/a", "b", false, "c", 0).str());
  EXPECT_EQ(at("/p/q/f"), Path_Conf(at("/p").c_str(), "q", true, "f", 0755).str());
  EXPECT_TRUE(is_dir(at("/p/q"))) << "the sub-path is created with the prefix";
  EXPECT_FALSE(exists(at("/p/q/f")));
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(PathConf, AppendAddsOneSeparatorWhateverThePathEndsWith)
{
  struct Row
  {
    const char* prefix;
    const char* sub;
    const char* want;
  } const rows[] = {
      {"/a", "x", "/a/x"},
      {"/a/", "x", "/a//x"},
      {"/a", "", "/a"},
      {"/a", nullptr, "/a"},
      {"/a", "x/y", "/a/x/y"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.prefix) + " + " + (row.sub ? row.sub : "<null>"));
    Path_Conf conf(row.prefix, false, nullptr, 0);
    EXPECT_EQ(&conf, &conf.append(row.sub));
    EXPECT_EQ(row.want, conf.str());
  }
  Path_Conf conf("/a", false, nullptr, 0);
  EXPECT_EQ("/a/x/y", conf.append("x").append(nullptr).append("y").str());

  Log_Capture capture;
  Path_Conf empty(nullptr, false, nullptr, 0);
  EXPECT_EQ("/x", empty.append("x").str()) << "an empty path gains a leading separator";
}

TEST_F(PathConf, FixReplacesEveryOccurrenceOnce)
{
  struct Row
  {
    const char* path;
    const char* name;
    const char* value;
    const char* want;
  } const rows[] = {
      {"/X/aX", "X", "Y", "/Y/aY"},
      {"/X/aX", "", "Y", "/X/aX"},
      {"/aa", "a", "aa", "/aaaa"},  // the inserted text is not searched again
      {"/aaa", "aa", "b", "/ba"},   // left to right, without overlap
      {"/%h/x", "%h", "", "//x"},
      {"/a", "b", "c", "/a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path) + " " + row.name + " -> " + row.value);
    Path_Conf conf(row.path, false, nullptr, 0);
    conf.fix(row.name, row.value);
    EXPECT_EQ(row.want, conf.str());
  }
}

TEST_F(PathConf, FixRefusesNullArguments)
{
  Path_Conf conf("/X", false, nullptr, 0);
  Log_Capture capture;
  conf.fix(nullptr, "Y");
  conf.fix("X", nullptr);
  EXPECT_EQ("/X", conf.str());
  ASSERT_EQ(2u, capture.records.size());
  for (const Log_Capture::Record& r : capture.records) {
    EXPECT_EQ(LM_EMERGENCY, r.priority);
    EXPECT_EQ(-1, r.status);
  }
  EXPECT_NE(std::string::npos, capture.records[0].text.find(", name is NULL:\n"));
  EXPECT_NE(std::string::npos, capture.records[1].text.find(", value is NULL:\n"));
}

// ---- A creation that fails for want of permission, in a child without root.

/// In a child: exits with 0 when building under the read-only @a ro logs the failure once at
/// LM_ERROR with EACCES and still yields the whole path.
void unwritable_parent(const std::string& ro)
{
  if (!drop_root())
    ::_exit(2);
  Log_Capture capture;
  std::string const got = Path_Conf((ro + "/x").c_str(), true, "f", 0755).str();
  int bad = 0;
  if (got != ro + "/x/f")
    bad |= 4, std::fprintf(stderr, "path %s\n", got.c_str());
  if (exists(ro + "/x"))
    bad |= 8, std::fprintf(stderr, "made the directory\n");
  if (capture.records.size() != 1 || capture.records[0].priority != LM_ERROR ||
      capture.records[0].status != -1 ||
      capture.records[0].text != mkdir_record(ro + "/x", EACCES))
    bad |= 16, std::fprintf(stderr, "records: %zu, first: %s\n", capture.records.size(),
                            capture.records.empty() ? "" : capture.records[0].text.c_str());
  ::_exit(bad);
}

TEST_F(PathConf, UnwritableParentIsLoggedWithoutRoot)
{
  if (!can_drop_root())
    GTEST_SKIP() << "cannot run a child without root's privileges here";
  ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
  std::string const ro = dir_.mkdir("ro");
  ASSERT_EQ(0, ::chmod(ro.c_str(), 0555));
  EXPECT_EXIT(unwritable_parent(ro), ::testing::ExitedWithCode(0), "");
}

}  // namespace
