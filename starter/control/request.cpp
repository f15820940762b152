// The control socket's request language: a whole line in, a command and a name out.
#include "starter/control/request.h"

#include <cstring>
#include <vector>

namespace {

const struct
{
  const char* word;
  Control_Request::Command command;
  bool takes_name;
} commands[] = {{"status", Control_Request::STATUS, false},   {"reload", Control_Request::RELOAD, false},
                {"check", Control_Request::CHECK, false},     {"suspend", Control_Request::SUSPEND, true},
                {"resume", Control_Request::RESUME, true},    {"restart", Control_Request::RESTART, true},
                {"release", Control_Request::RELEASE, true}};

/// Up to @a n bytes of @a p, for an error message: at most 40 of them, as they are (the caller
/// has made sure they are printable).
std::string excerpt(const char* p, size_t n)
{
  return n <= 40 ? std::string(p, n) : std::string(p, 40) + "...";
}

}  // namespace

const char* control_command_name(Control_Request::Command c)
{
  for (const auto& k : commands)
    if (k.command == c)
      return k.word;
  return "?";
}

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
  for (const auto& k : commands) {
    if (std::strlen(k.word) != words[0].second || std::memcmp(k.word, words[0].first, words[0].second) != 0)
      continue;
    size_t const want = k.takes_name ? 2 : 1;
    if (words.size() < want) {
      why = std::string("'") + k.word + "' needs a service name";
      return -1;
    }
    if (words.size() > want) {
      why = std::string("'") + k.word + "' takes " + (k.takes_name ? "one service name" : "no argument") +
            ", found '" + excerpt(words[want].first, words[want].second) + "'";
      return -1;
    }
    r.command = k.command;
    r.name = k.takes_name ? std::string(words[1].first, words[1].second) : std::string();
    return 0;
  }
  why = "unknown command '" + excerpt(words[0].first, words[0].second) +
        "': status, reload, check, suspend NAME, resume NAME, restart NAME or release NAME";
  return -1;
}
