// File-name predicates: extension matching and the regular-file test on real files.
#include <gtest/gtest.h>

#include <unistd.h>

#include "scrt/inline_util.h"
#include "support/temp_dir.h"

namespace {

struct Ext_Case
{
  const char* path;
  const char* ext;
  bool expected;
};

TEST(InlineUtil, IsFileExtension)
{
  for (const Ext_Case& c : {Ext_Case{"a.conf", "conf", true}, Ext_Case{".conf", "conf", true},
                            Ext_Case{"x/y.z/a.conf", "conf", true}, Ext_Case{"a.conf.bak", "conf", false},
                            Ext_Case{"a.CONF", "conf", false}, Ext_Case{"conf", "conf", false},
                            Ext_Case{"a.", "conf", false}, Ext_Case{"a.confx", "conf", false},
                            Ext_Case{nullptr, "conf", false}, Ext_Case{"", "conf", false},
                            Ext_Case{"a.conf", nullptr, false}, Ext_Case{"a.conf", "", false}}) {
    SCOPED_TRACE(c.path ? c.path : "(null)");
    EXPECT_EQ(c.expected, is_file_extension(c.path, c.ext));
  }
}

TEST(InlineUtil, FindFileExtension)
{
  EXPECT_STREQ(".c", find_file_extension("a.b.c"));
  EXPECT_EQ(nullptr, find_file_extension("abc"));
  EXPECT_EQ(nullptr, find_file_extension(""));
  EXPECT_EQ(nullptr, find_file_extension(nullptr));
}

TEST(InlineUtil, IsRegularFileFollowsLinks)
{
  Temp_Dir d;
  std::string const file = d.write("f", "x");
  std::string const dir = d.mkdir("d");
  ASSERT_EQ(0, symlink(file.c_str(), (d / "good").c_str()));
  ASSERT_EQ(0, symlink((d / "missing").c_str(), (d / "dangling").c_str()));
  EXPECT_TRUE(is_regular_file(file.c_str()));
  EXPECT_TRUE(is_regular_file((d / "good").c_str()));
  EXPECT_FALSE(is_regular_file(dir.c_str()));
  EXPECT_FALSE(is_regular_file((d / "dangling").c_str()));
  EXPECT_FALSE(is_regular_file((d / "missing").c_str()));
}

}  // namespace
