// The strict decimal conversion: its table of results for every instance the system uses,
// the end bound, and agreement with std::from_chars on random text.
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "scrt/natoi.h"

namespace {

constexpr int JUNK_ERRNO = 12345;

/// One expected outcome: the result, errno, and the stop position counted from beg.
struct Outcome
{
  long long value;
  int err;
  long stop;
};

/// One text and its outcome for short, int and unsigned long.
struct Row
{
  const char* text;
  Outcome s;
  Outcome i;
  Outcome ul;
};

constexpr long long SHRT = 32767;
constexpr long long INTM = 2147483647;

// clang-format off
const Row rows[] = {
  // plain numbers and signs
  {"",        {0, EINVAL, 0},  {0, EINVAL, 0},  {0, EINVAL, 0}},
  {"42",      {42, 0, 2},      {42, 0, 2},      {42, 0, 2}},
  {"+42",     {42, 0, 3},      {42, 0, 3},      {42, 0, 3}},
  {"-42",     {-42, 0, 3},     {-42, 0, 3},     {0, EINVAL, 0}},
  {"-0",      {0, 0, 2},       {0, 0, 2},       {0, EINVAL, 0}},
  {" 42",     {0, EINVAL, 0},  {0, EINVAL, 0},  {0, EINVAL, 0}},
  // trailing text stops the scan without an error
  {"42abc",   {42, 0, 2},      {42, 0, 2},      {42, 0, 2}},
  {"60\n",    {60, 0, 2},      {60, 0, 2},      {60, 0, 2}},
  {"0x1F",    {0, 0, 1},       {0, 0, 1},       {0, 0, 1}},
  {"007",     {7, 0, 3},       {7, 0, 3},       {7, 0, 3}},
  // a sign without digits
  {"+",       {0, EINVAL, 1},  {0, EINVAL, 1},  {0, EINVAL, 1}},
  {"-",       {0, EINVAL, 1},  {0, EINVAL, 1},  {0, EINVAL, 0}},
  {"--5",     {0, EINVAL, 1},  {0, EINVAL, 1},  {0, EINVAL, 0}},
  // range limits
  {"32767",   {32767, 0, 5},   {32767, 0, 5},   {32767, 0, 5}},
  {"32768",   {SHRT, ERANGE, 4}, {32768, 0, 5}, {32768, 0, 5}},
  {"-32768",  {-32768, 0, 6},  {-32768, 0, 6},  {0, EINVAL, 0}},
  {"-32769",  {SHRT, ERANGE, 5}, {-32769, 0, 6}, {0, EINVAL, 0}},
  {"2147483648",  {SHRT, ERANGE, 5}, {INTM, ERANGE, 9},      {2147483648LL, 0, 10}},
  {"-2147483648", {SHRT, ERANGE, 6}, {-2147483648LL, 0, 11}, {0, EINVAL, 0}},
  {"-2147483649", {SHRT, ERANGE, 6}, {INTM, ERANGE, 10},     {0, EINVAL, 0}},
  {"18446744073709551615", {SHRT, ERANGE, 5}, {INTM, ERANGE, 10}, {-1, 0, 20}},
  {"18446744073709551616", {SHRT, ERANGE, 5}, {INTM, ERANGE, 10}, {-1, ERANGE, 19}},
};
// clang-format on

/// Runs natoi<T, U> on @a text (copied, so that a char* instance gets writable text) with
/// errno set to junk first, and checks the outcome.
template <class T, class U>
void check(const char* text, const char* end_at, const Outcome& want)
{
  std::string buf(text);
  U const beg = &buf[0];
  U const end = end_at == 0 ? U(0) : beg + (end_at - text);
  U stop = 0;
  errno = JUNK_ERRNO;
  T const got = natoi<T, U>(beg, end, &stop);
  EXPECT_EQ(got, static_cast<T>(want.value));
  EXPECT_EQ(errno, want.err);
  EXPECT_EQ(stop - beg, want.stop);
}

/// The same for the four instances the system uses; the two unsigned long ones alike.
void check_all(const Row& row, const char* end_at)
{
  {
    SCOPED_TRACE("short, char*");
    check<short, char*>(row.text, end_at, row.s);
  }
  {
    SCOPED_TRACE("int, const char*");
    check<int, const char*>(row.text, end_at, row.i);
  }
  {
    SCOPED_TRACE("unsigned long, char*");
    check<unsigned long, char*>(row.text, end_at, row.ul);
  }
  {
    SCOPED_TRACE("unsigned long, const char*");
    check<unsigned long, const char*>(row.text, end_at, row.ul);
  }
}

TEST(Natoi, TableOfResultsForEveryInstance)
{
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("text '") + row.text + "'");
    check_all(row, 0);
  }
}

TEST(Natoi, NullTextIsInvalidAndStopsAtBeg)
{
  char* stop = reinterpret_cast<char*>(&stop);
  errno = JUNK_ERRNO;
  EXPECT_EQ(natoi<short>(static_cast<char*>(0), static_cast<char*>(0), &stop), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(stop, nullptr);

  const char* cstop = "x";
  errno = JUNK_ERRNO;
  EXPECT_EQ(natoi<int>(static_cast<const char*>(0), static_cast<const char*>(0), &cstop), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(cstop, nullptr);

  errno = JUNK_ERRNO;
  EXPECT_EQ(natoi<unsigned long>(static_cast<char*>(0), static_cast<char*>(0), nullptr), 0u);
  EXPECT_EQ(errno, EINVAL);
  errno = JUNK_ERRNO;
  EXPECT_EQ(natoi<unsigned long>(static_cast<const char*>(0), static_cast<const char*>(0),
                                 nullptr),
            0u);
  EXPECT_EQ(errno, EINVAL);
}

TEST(Natoi, EndBoundsTheDigitScan)
{
  static const char text[] = "12345";
  const Row row = {text, {123, 0, 3}, {123, 0, 3}, {123, 0, 3}};
  check_all(row, text + 3);

  // The bound applies after the sign, and a bound right after it leaves no digit.
  static const char neg[] = "-12345";
  const Row signed_row = {neg, {-12, 0, 3}, {-12, 0, 3}, {0, EINVAL, 0}};
  check_all(signed_row, neg + 3);
  const Row sign_only = {neg, {0, EINVAL, 1}, {0, EINVAL, 1}, {0, EINVAL, 0}};
  check_all(sign_only, neg + 1);
}

TEST(Natoi, NullStopPointerIsAllowed)
{
  char text[] = "4x";
  errno = JUNK_ERRNO;
  EXPECT_EQ(natoi<unsigned long>(text, static_cast<char*>(0), nullptr), 4u);
  EXPECT_EQ(errno, 0);
}

// --- Agreement with std::from_chars --------------------------------------------------------
//
// The two contracts agree on digits, the minus sign, overflow and the stop position of a
// successful conversion. natoi also takes a leading "+", which from_chars refuses: such a
// text is compared with from_chars on the rest. Positions are compared only on success:
// on failure the two define different stop positions.

/// Random text: an optional sign, then mostly digits (long runs overflow often) with the odd
/// sign, blank, letter or line feed among them.
std::string random_text(std::mt19937& gen)
{
  static const char others[] = "+- x\n";
  std::uniform_int_distribution<int> len_dist(0, 24);
  std::uniform_int_distribution<int> percent(0, 99);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> other(0, sizeof others - 2);
  std::string s;
  int const sign = percent(gen);
  if (sign < 30)
    s += '-';
  else if (sign < 45)
    s += '+';
  for (int i = 0, len = len_dist(gen); i < len; ++i)
    s += percent(gen) < 90 ? char('0' + digit(gen)) : others[other(gen)];
  return s;
}

template <class T, class U>
void agree_with_from_chars(const std::string& text, size_t bound)
{
  std::string buf(text);
  U const beg = &buf[0];
  U const end = bound == std::string::npos ? U(0) : beg + bound;
  size_t const limit = bound == std::string::npos ? buf.size() : bound;

  U stop = 0;
  errno = JUNK_ERRNO;
  T const got = natoi<T, U>(beg, end, &stop);
  int const err = errno;

  size_t skip = 0;
  if (!buf.empty() && buf[0] == '+') {
    if (buf.size() > 1 && (buf[1] == '+' || buf[1] == '-')) {
      // "+-5" and "++5": natoi refuses a second sign; nothing for from_chars to compare.
      EXPECT_EQ(err, EINVAL);
      EXPECT_EQ(got, T(0));
      return;
    }
    skip = 1;
  }
  T want = T(0);
  auto const fc = std::from_chars(buf.data() + skip, buf.data() + limit, want);

  if (fc.ec == std::errc()) {
    EXPECT_EQ(err, 0);
    EXPECT_EQ(got, want);
    EXPECT_EQ(stop - beg, fc.ptr - buf.data());
  } else if (fc.ec == std::errc::result_out_of_range) {
    EXPECT_EQ(err, ERANGE);
    EXPECT_EQ(got, std::numeric_limits<T>::max());
  } else {
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(got, T(0));
  }
}

template <class T, class U>
void run_property(unsigned seed)
{
  std::mt19937 gen(seed);
  for (int i = 0; i < 20000 && !::testing::Test::HasFailure(); ++i) {
    std::string const text = random_text(gen);
    // No bound, or a bound inside the text after its first character.
    size_t bound = std::string::npos;
    if (text.size() > 1 && std::uniform_int_distribution<int>(0, 3)(gen) == 0)
      bound = std::uniform_int_distribution<size_t>(1, text.size())(gen);
    SCOPED_TRACE("text '" + text + "' bound " +
                 (bound == std::string::npos ? std::string("none") : std::to_string(bound)));
    agree_with_from_chars<T, U>(text, bound);
  }
}

TEST(NatoiProperty, AgreesWithFromCharsShort) { run_property<short, char*>(1); }
TEST(NatoiProperty, AgreesWithFromCharsInt) { run_property<int, const char*>(2); }
TEST(NatoiProperty, AgreesWithFromCharsUnsignedLong) { run_property<unsigned long, char*>(3); }
TEST(NatoiProperty, AgreesWithFromCharsUnsignedLongConst)
{
  run_property<unsigned long, const char*>(4);
}

}  // namespace
