// Fuzz target: the control socket's request parser on raw bytes. It must never crash; what it
// accepts must be within the line limit, name a service exactly when the command takes one,
// and read back the same when written again in its plain form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "starter/control/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  Control_Request r;
  std::string why;
  if (parse_control_request(reinterpret_cast<const char*>(data), size, r, why) != 0) {
    if (why.empty())
      std::abort();
    return 0;
  }
  bool const takes_name = r.command->takes_name;
  if (size > CONTROL_REQUEST_MAX || takes_name == r.name.empty())
    std::abort();
  // A name may hold any byte a configuration's word may (non-ASCII included), but no blank,
  // line end or the bytes the request refuses.
  for (char c : r.name)
    if (c == 0 || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v')
      std::abort();
  std::string const again = std::string(r.command->word) +
                            (takes_name ? " " + r.name : "") + "\n";
  Control_Request back;
  if (parse_control_request(again.data(), again.size(), back, why) != 0 ||
      back.command != r.command || back.name != r.name) {
    std::fprintf(stderr, "accepted '%.*s', but not its plain form '%s'\n", static_cast<int>(size),
                 reinterpret_cast<const char*>(data), again.c_str());
    std::abort();
  }
  return 0;
}
