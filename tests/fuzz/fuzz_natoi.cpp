// Fuzz target: natoi against std::from_chars, for every integer type the host converts to.
// The first byte picks the type and whether the text is bounded by an end pointer; the rest is
// the text. Value, errno class and stop position must all agree with the oracle.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

#include "scrt/natoi.h"

namespace {

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : std::abort())

/// What natoi must answer for [beg, end), worked out with std::from_chars.
template <class T>
void expect(const char* beg, const char* end, T got, int err, const char* stop)
{
  const char* first = beg;
  if (beg == end) {  // the empty text
    FUZZ_CHECK(got == 0 && err == EINVAL && stop == beg);
    return;
  }
  bool const minus = *beg == '-';
  if (minus && !std::is_signed<T>::value) {
    FUZZ_CHECK(got == 0 && err == EINVAL && stop == beg);
    return;
  }
  if (minus || *beg == '+')
    ++first;
  if (first == end || *first < '0' || *first > '9') {  // no digit after the sign
    FUZZ_CHECK(got == 0 && err == EINVAL && stop == first);
    return;
  }
  // from_chars takes no "+", and reads "-" itself.
  const char* const from = minus ? beg : first;
  T want = 0;
  std::from_chars_result r = std::from_chars(from, end, want);
  if (r.ec == std::errc()) {
    FUZZ_CHECK(got == want && err == 0 && stop == r.ptr);
    return;
  }
  FUZZ_CHECK(r.ec == std::errc::result_out_of_range);
  // Overflow stops at the digit that overflows: the text before it fits, with it it does not.
  FUZZ_CHECK(got == std::numeric_limits<T>::max() && err == ERANGE);
  FUZZ_CHECK(stop > first && stop < r.ptr);
  FUZZ_CHECK(std::from_chars(from, stop, want).ec == std::errc());
  FUZZ_CHECK(std::from_chars(from, stop + 1, want).ec == std::errc::result_out_of_range);
}

template <class T>
void run(const std::string& text, bool bounded)
{
  const char* const beg = text.c_str();
  // Unbounded, natoi reads up to the terminator, which the oracle sees as the end.
  const char* const end = bounded ? beg + text.size() : beg + std::char_traits<char>::length(beg);
  if (bounded && text.empty())
    return;  // a bound must lie after the text's start
  const char* stop = 0;
  errno = EBADF;  // success must clear it
  T const got = natoi<T>(beg, bounded ? end : nullptr, &stop);
  expect<T>(beg, end, got, errno, stop);
  // The char* form answers the same as the const char* one.
  std::string copy(text);
  char* mstop = 0;
  errno = EBADF;
  T const again = natoi<T>(&copy[0], bounded ? &copy[0] + copy.size() : nullptr, &mstop);
  FUZZ_CHECK(again == got && mstop - &copy[0] == stop - beg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size == 0)
    return 0;
  std::string const text(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool const bounded = (data[0] & 0x80) != 0;
  switch (data[0] & 0x7) {
    case 0: run<int>(text, bounded); break;
    case 1: run<short>(text, bounded); break;
    case 2: run<unsigned long>(text, bounded); break;
    case 3: run<long long>(text, bounded); break;
    case 4: run<unsigned char>(text, bounded); break;
    case 5: run<signed char>(text, bounded); break;
    case 6: run<unsigned short>(text, bounded); break;
    default: run<unsigned long long>(text, bounded); break;
  }
  return 0;
}
