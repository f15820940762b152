// The control socket's request language: a whole line in, a command and a name out.
#include "starter/control/request.h"

#include <cstring>
#include <iterator>
#include <vector>

namespace {

/// Up to @a n bytes of @a p, for an error message: at most 40 of them, as they are (the caller
/// has made sure they are printable).
std::string excerpt(const char* p, size_t n)
{
  return n <= 40 ? std::string(p, n) : std::string(p, 40) + "...";
}

}  // namespace

int parse_control_request(const char* data, size_t size, Control_Request& r, std::string& why)
{
  if (size > CONTROL_REQUEST_MAX) {
    why = "request longer than 4096 bytes";
    return -1;
  }
  const char* const nl = static_cast<const char*>(std::memchr(data, '\n', size));
  size_t end = size;
  if (nl != 0) {
    if (static_cast<size_t>(nl - data) + 1 != size) {
      why = "more than one line: one request per connection";
      return -1;
    }
    end = static_cast<size_t>(nl - data);
  }
  if (end > 0 && data[end - 1] == '\r')
    --end;
  for (size_t i = 0; i < end; ++i) {
    unsigned char const c = static_cast<unsigned char>(data[i]);
    if ((c < 0x20 && c != '\t') || c > 0x7e) {
      why = "byte " + std::to_string(c) + " at offset " + std::to_string(i) +
            " is no printable ASCII";
      return -1;
    }
  }
  // The words; every byte left is printable, so each may be quoted back.
  std::vector<std::pair<const char*, size_t>> words;
  for (size_t i = 0; i < end;) {
    if (data[i] == ' ' || data[i] == '\t') {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < end && data[j] != ' ' && data[j] != '\t')
      ++j;
    words.emplace_back(data + i, j - i);
    i = j;
  }
  if (words.empty()) {
    why = "empty request";
    return -1;
  }
  const Control_Command* const k = find_control_command(words[0].first, words[0].second);
  if (k == nullptr) {
    std::string known;
    size_t const n = std::size(CONTROL_COMMANDS);
    for (size_t i = 0; i < n; ++i)
      known += std::string(i == 0 ? "" : i + 1 == n ? " or " : ", ") + CONTROL_COMMANDS[i].word +
               (CONTROL_COMMANDS[i].takes_name ? " NAME" : "");
    why = "unknown command '" + excerpt(words[0].first, words[0].second) + "': " + known;
    return -1;
  }
  size_t const want = k->takes_name ? 2 : 1;
  if (words.size() < want) {
    why = std::string("'") + k->word + "' needs a service name";
    return -1;
  }
  if (words.size() > want) {
    why = std::string("'") + k->word + "' takes " + (k->takes_name ? "one service name" : "no argument") +
          ", found '" + excerpt(words[want].first, words[want].second) + "'";
    return -1;
  }
  r.command = k;
  r.name = k->takes_name ? std::string(words[1].first, words[1].second) : std::string();
  return 0;
}
