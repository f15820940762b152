// string_sprintf / string_vsprintf: room reuse, the retry sizes, append, failure.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "scrt/string_sprintf.h"

namespace {

int append_f(std::string& s, const char* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  int const rc = string_vsprintf(s, fmt, args, true);
  va_end(args);
  return rc;
}

struct Length_Case
{
  size_t length;
  size_t room_after;  // the string's size right after the last attempt, before the trim
};

TEST(StringSprintf, FitsOrRetriesWithTheRightRoom)
{
  // 127 fits the first room of 128; 128 reports its exact length and needs 129; 129 is
  // reported as 128 + 1, a guess, and gets 128 + 130 = 258.
  for (const Length_Case& c : {Length_Case{0, 128}, Length_Case{127, 128}, Length_Case{128, 129},
                               Length_Case{129, 258}, Length_Case{5000, 5001}}) {
    SCOPED_TRACE(c.length);
    std::string s;
    std::string const text(c.length, 'x');
    EXPECT_EQ(static_cast<int>(c.length), string_sprintf(s, "%s", text.c_str()));
    EXPECT_EQ(text, s);
    EXPECT_GE(s.capacity(), c.room_after);
  }
}

TEST(StringSprintf, ReplacesContentAndReusesRoom)
{
  std::string s(300, 'y');
  const char* const before = s.data();
  EXPECT_EQ(4, string_sprintf(s, "%s/%s", "ab", "c"));
  EXPECT_EQ("ab/c", s);
  EXPECT_EQ(before, s.data());  // formatted into the existing room, no reallocation
}

TEST(StringSprintf, AppendKeepsTheHead)
{
  std::string s("ab");
  EXPECT_EQ(4, append_f(s, "%s", "cd"));
  EXPECT_EQ("abcd", s);
  std::string const long_tail(1000, 'z');
  EXPECT_EQ(1004, append_f(s, "%s", long_tail.c_str()));
  EXPECT_EQ("abcd" + long_tail, s);
}

TEST(StringSprintf, ArgumentListIsNotConsumedByRetries)
{
  std::string s;
  std::string const big(400, 'q');
  // Three conversions after a retry would read garbage if the list had been consumed.
  EXPECT_EQ(static_cast<int>(big.size() + 6), string_sprintf(s, "%s-%d-%s", big.c_str(), 42, "ok"));
  EXPECT_EQ(big + "-42-ok", s);
}

}  // namespace
