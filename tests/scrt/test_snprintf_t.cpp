// snprintf_t: stays inline below N, grows once on an exact length, doubles on a guess.
#include <gtest/gtest.h>

#include <string>

#include "scrt/snprintf_t.h"

namespace {

/// Exposes the fields, which are the behaviour under test.
template <size_t N>
struct Open_Snprintf : snprintf_t<N, char>
{
  template <class... A>
  explicit Open_Snprintf(const char* fmt, A... a) : snprintf_t<N, char>(fmt, a...) {}
  const char* buf() const { return this->buf_; }
  const char* ptr() const { return this->ptr_; }
  size_t size() const { return this->size_; }
};

struct Growth_Case
{
  size_t length;
  bool on_heap;
  size_t heap_size;
};

TEST(SnprintfT, InlineExactAndGuessedGrowth)
{
  for (const Growth_Case& c : {Growth_Case{0, false, 0}, Growth_Case{4095, false, 0},
                               Growth_Case{4096, true, 4097}, Growth_Case{4097, true, 8195},
                               Growth_Case{20000, true, 20001}}) {
    SCOPED_TRACE(c.length);
    std::string const text(c.length, 'a');
    Open_Snprintf<4096> s("%s", text.c_str());
    EXPECT_EQ(static_cast<int>(c.length), s.length());
    EXPECT_EQ(text, s.c_str());
    EXPECT_EQ(c.on_heap, s.ptr() != nullptr);
    EXPECT_EQ(c.heap_size, s.size());
    EXPECT_EQ(c.on_heap ? s.ptr() : s.buf(), s.c_str());
  }
}

TEST(SnprintfT, SetAgainReusesTheHeapBlock)
{
  std::string const big(5000, 'b');
  Open_Snprintf<16> s("%s", big.c_str());
  ASSERT_NE(nullptr, s.ptr());
  EXPECT_EQ(2, s.set("%s", "hi"));
  EXPECT_STREQ("hi", s.c_str());
  EXPECT_EQ(s.ptr(), s.c_str());  // never goes back to the inline buffer
}

TEST(SnprintfT, JoinsLikeTheEnvironmentEditor)
{
  snprintf_t<4096, char> s("%s:%s", "/a", "/b");
  EXPECT_STREQ("/a:/b", s.c_str());
  EXPECT_EQ(5, s.length());
}

}  // namespace
