// The locked environment: values and removals as callers see them, argument checks, and edits
// and reads racing from several threads. Every test works on its own variable and removes it.
#include "scrt/environ.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

namespace {

const char* const VAR = "SCRT_TEST_ENVIRON";

class Environ : public ::testing::Test
{
protected:
  void SetUp() override { ::unsetenv(VAR); }
  void TearDown() override { ::unsetenv(VAR); }

  static bool is_set() { return ::getenv(VAR) != 0; }
  static std::string value() { return ::getenv(VAR) != 0 ? ::getenv(VAR) : "<unset>"; }
};

TEST_F(Environ, GetReadsUnsetAndEmptyAsEmpty)
{
  Log_Capture capture;
  EXPECT_EQ("", get_env_r(VAR));
  ::setenv(VAR, "", 1);
  EXPECT_EQ("", get_env_r(VAR));
  ::setenv(VAR, "/a b", 1);
  EXPECT_EQ("/a b", get_env_r(VAR));
  EXPECT_TRUE(capture.records.empty());
}

TEST_F(Environ, NullOrEmptyNameIsLoggedAndRefused)
{
  const char* const names[] = {nullptr, ""};
  for (const char* name : names) {
    SCOPED_TRACE(name == nullptr ? "null" : "empty");
    Log_Capture capture;
    EXPECT_EQ("", get_env_r(name));
    EXPECT_FALSE(set_env(name, "x"));
    EXPECT_FALSE(append_env(name, "x"));
    EXPECT_FALSE(prepend_env(name, "x"));
    ASSERT_EQ(4u, capture.records.size());
    for (const Log_Capture::Record& r : capture.records) {
      EXPECT_EQ(LM_EMERGENCY, r.priority);
      EXPECT_EQ(-1, r.status);
      EXPECT_NE(std::string::npos, r.text.find("environ.cpp")) << r.text;
      EXPECT_NE(std::string::npos, r.text.find(", name is NULL or \"\":\n")) << r.text;
    }
  }
  EXPECT_FALSE(is_set());
}

TEST_F(Environ, SetEmptyKeepsTheVariableAndNullRemovesIt)
{
  EXPECT_TRUE(set_env(VAR, ""));
  EXPECT_TRUE(is_set());
  EXPECT_EQ("", value());
  EXPECT_TRUE(set_env(VAR, "v"));
  EXPECT_EQ("v", value());
  EXPECT_TRUE(set_env(VAR, nullptr));
  EXPECT_FALSE(is_set());
  EXPECT_TRUE(set_env(VAR, nullptr)) << "removing an unset variable succeeds";
}

TEST_F(Environ, PlatformRefusalIsFalse)
{
  errno = 0;
  EXPECT_FALSE(set_env("SCRT=BAD", "x"));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(nullptr, ::getenv("SCRT"));
}

// One row per starting state and part: the value after append_env and after prepend_env.
struct Join_Row
{
  const char* old;  // null: unset
  const char* val;
  const char* appended;  // null: removed
  const char* prepended;
};

const Join_Row join_rows[] = {
    {"/a", "/b", "/a:/b", "/b:/a"},
    {nullptr, "/b", "/b", "/b"},
    {"", "/b", "/b", "/b"},
    {"/a", "", "/a:", ":/a"},
    {"/a:/b", "/a", "/a:/b:/a", "/a:/a:/b"},  // no de-duplication
    {nullptr, "", "", ""},
    {nullptr, nullptr, nullptr, nullptr},
    {"", nullptr, nullptr, nullptr},
};

TEST_F(Environ, AppendAndPrependJoinWithOneColon)
{
  for (const Join_Row& row : join_rows) {
    for (bool append : {true, false}) {
      SCOPED_TRACE(std::string(row.old ? row.old : "<unset>") + " + " +
                   (row.val ? row.val : "<null>") + (append ? " append" : " prepend"));
      if (row.old != nullptr)
        ::setenv(VAR, row.old, 1);
      else
        ::unsetenv(VAR);
      EXPECT_TRUE(append ? append_env(VAR, row.val) : prepend_env(VAR, row.val));
      const char* const want = append ? row.appended : row.prepended;
      EXPECT_EQ(want != nullptr ? want : "<unset>", value());
    }
  }
}

TEST_F(Environ, NullPartOnANonEmptyValueIsRefused)
{
  ::setenv(VAR, "/a", 1);
  errno = 0;
  EXPECT_FALSE(append_env(VAR, nullptr));
  EXPECT_EQ(EINVAL, errno);
  errno = 0;
  EXPECT_FALSE(prepend_env(VAR, nullptr));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ("/a", value());
}

TEST_F(Environ, LongCombinedValueIsStoredWhole)
{
  std::string const old(3000, 'o');
  std::string const part(3000, 'p');
  ::setenv(VAR, old.c_str(), 1);
  EXPECT_TRUE(append_env(VAR, part.c_str()));
  EXPECT_EQ(old + ":" + part, value());
  EXPECT_TRUE(prepend_env(VAR, part.c_str()));
  EXPECT_EQ(part + ":" + old + ":" + part, get_env_r(VAR));
}

TEST_F(Environ, ConcurrentAppendsAllTakeEffect)
{
  const int per_thread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < per_thread; ++i)
        append_env(VAR, ("t" + std::to_string(t) + "-" + std::to_string(i)).c_str());
    });
  for (std::thread& th : threads)
    th.join();

  std::string const v = ":" + value() + ":";
  for (int t = 0; t < 2; ++t)
    for (int i = 0; i < per_thread; ++i) {
      std::string const part = ":t" + std::to_string(t) + "-" + std::to_string(i) + ":";
      EXPECT_NE(std::string::npos, v.find(part)) << part;
    }
  // Each part exactly once: the parts plus the two sentinels give 2 * per_thread + 1 colons.
  EXPECT_EQ(2 * per_thread + 1, std::count(v.begin(), v.end(), ':'));
}

TEST_F(Environ, ReadersNeverSeeATornValue)
{
  std::string const a(5000, 'a');
  std::string const b(7000, 'b');
  set_env(VAR, a.c_str());
  std::atomic<bool> stop(false);
  std::atomic<int> torn(0);
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::string const v = get_env_r(VAR);
        if (v != a && v != b)
          ++torn;
      }
    });
  for (int i = 0; i < 2000; ++i)
    set_env(VAR, (i % 2 ? a : b).c_str());
  stop = true;
  for (std::thread& th : readers)
    th.join();
  EXPECT_EQ(0, torn.load());
}

}  // namespace
