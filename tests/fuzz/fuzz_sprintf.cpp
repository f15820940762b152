// Fuzz target: string_sprintf, string_vsprintf (appending) and snprintf_t against snprintf, for
// the formats the host uses. The input is split into a selector byte, a number and two texts;
// the texts run long enough to move every buffer onto the heap.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scrt/snprintf_t.h"
#include "scrt/string_sprintf.h"

namespace {

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : std::abort())

/// The oracle: what snprintf writes, with room found by asking it first.
std::string reference(const char* fmt, va_list args)
{
  va_list copy;
  va_copy(copy, args);
  int const n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  FUZZ_CHECK(n >= 0);
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  va_copy(copy, args);
  std::vsnprintf(buf.data(), buf.size(), fmt, copy);
  va_end(copy);
  return std::string(buf.data(), static_cast<size_t>(n));
}

/// Formats @a fmt every way the library offers and compares each with the oracle.
void compare(const std::string& prefix, const char* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  std::string const want = reference(fmt, args);

  std::string s(prefix);
  FUZZ_CHECK(string_vsprintf(s, fmt, args, false) == static_cast<int>(want.size()) && s == want);
  s = prefix;
  FUZZ_CHECK(string_vsprintf(s, fmt, args, true) == static_cast<int>(prefix.size() + want.size()));
  FUZZ_CHECK(s == prefix + want);

  snprintf_t<8> small;
  FUZZ_CHECK(small.vset(fmt, args) == static_cast<int>(want.size()) && want == small.c_str());
  snprintf_t<4096> large;  // the size the environment code uses
  FUZZ_CHECK(large.vset(fmt, args) == static_cast<int>(want.size()) && want == large.c_str());
  // Formatting again into a grown object reuses its block.
  FUZZ_CHECK(small.vset(fmt, args) == static_cast<int>(want.size()) && want == small.c_str());
  va_end(args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 9)
    return 0;
  unsigned long long number = 0;
  std::memcpy(&number, data + 1, sizeof number);
  // Two texts split at the first NUL of the rest; the prefix for appending is the second.
  const char* const rest = reinterpret_cast<const char*>(data) + 9;
  std::string const all(rest, size - 9);
  std::string const a = all.substr(0, all.find('\0'));
  std::string const b = a.size() < all.size() ? all.substr(a.size() + 1) : std::string();
  std::string const prefix = b.substr(0, b.find('\0'));
  int const n = static_cast<int>(number);
  switch (data[0] % 4) {
    case 0: compare(prefix, "%s/%s", a.c_str(), prefix.c_str()); break;
    case 1: compare(prefix, "STATUS=%d service%s open\n", n, n == 1 ? "" : "s"); break;
    case 2: compare(prefix, "RELOADING=1\nMONOTONIC_USEC=%llu\n", number); break;
    default: compare(prefix, "%s:%s", a.c_str(), prefix.c_str()); break;
  }
  return 0;
}
