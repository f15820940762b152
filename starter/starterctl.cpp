// starterctl: sends one request to a running host's control socket and shows the answer, as
// text for people or as JSON for tools. The exit status is the host's: 0 done, 1 refused or
// failed, 2 done with errors; 3 when no answer came, 64 for a malformed command line.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "starter/control/command_words.h"
#include "starter/journal_stream.h"

namespace {

const char DEFAULT_CONTROL[] = "/run/starter/control";
/// How long the answer may take: a reload loads every service's library and opens them all.
int const ANSWER_TIMEOUT_MS = 300 * 1000;
int const EXIT_NO_ANSWER = 3;
int const EXIT_USAGE = 64;

/// The usage, its commands read from the table the host reads requests by.
std::string usage()
{
  std::string u = "Usage: starterctl [--control PATH] [--json] COMMAND\n\nCommands:\n";
  for (const Control_Command& c : CONTROL_COMMANDS) {
    char line[160];
    std::string const word = std::string(c.word) + (c.takes_name ? " NAME" : "");
    std::snprintf(line, sizeof line, "  %-17s%s\n", word.c_str(), c.purpose);
    u += line;
  }
  return u +
         "\n"
         "Options:\n"
         "  --control PATH   the host's control socket (default /run/starter/control)\n"
         "  --json           print the host's answer as JSON\n"
         "\n"
         "Exit status: 0 done, 1 refused or failed, 2 reloaded with errors, 3 no answer, 64 "
         "usage.\n";
}

/// Sends @a request to the socket at @a path and returns the answer line in @a answer. False,
/// with @a why, when there is none.
bool ask(const std::string& path, const std::string& request, std::string& answer, std::string& why)
{
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    why = path + ": path too long";
    return false;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    why = path + ": " + std::strerror(errno);
    if (fd >= 0)
      ::close(fd);
    return false;
  }
  for (size_t sent = 0; sent < request.size();) {
    ssize_t const n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      break;  // the host may have answered already, with a refusal
    sent += static_cast<size_t>(n);
  }
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int const ready = ::poll(&p, 1, ANSWER_TIMEOUT_MS);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0) {
      why = ready == 0 ? "no answer in time" : std::string("poll: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    char buf[65536];
    ssize_t const n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    answer.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (answer.empty()) {
    why = "the host closed the connection without an answer";
    return false;
  }
  return true;
}

/// The journal's priority of the lines printed on standard output next: the lines of a failure
/// rank as one, so that a refused reload shows among the unit's errors.
int line_priority = 6;

/// Prints one line, @a format, to @a f: on the journal's stream with its priority first
/// (standard error's lines are errors).
void out(FILE* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void out(FILE* f, const char* format, ...)
{
  if (is_journal_stream(std::getenv("JOURNAL_STREAM"), ::fileno(f)))
    std::fprintf(f, "<%d>", f == stderr ? 3 : line_priority);
  va_list ap;
  va_start(ap, format);
  std::vfprintf(f, format, ap);
  va_end(ap);
}

std::string text(const nlohmann::json& j, const char* key)
{
  nlohmann::json::const_iterator const v = j.find(key);
  if (v == j.end() || v->is_null())
    return "-";
  return v->is_string() ? v->get<std::string>() : v->dump();
}

std::string duration(long s)
{
  char buf[64];
  if (s >= 86400)
    std::snprintf(buf, sizeof buf, "%ldd %ldh %ldm", s / 86400, s % 86400 / 3600, s % 3600 / 60);
  else if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ldh %ldm %lds", s / 3600, s % 3600 / 60, s % 60);
  else if (s >= 60)
    std::snprintf(buf, sizeof buf, "%ldm %lds", s / 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lds", s);
  return buf;
}

void print_status(const nlohmann::json& a)
{
  const nlohmann::json& h = a.at("host");
  long const threads = h.value("threads", 1L);
  out(stdout, "starter %s (rev %s), pid %ld, reactor %s, %ld thread%s\n", text(h, "version").c_str(),
              text(h, "revision").c_str(), h.value("pid", 0L), text(h, "reactor").c_str(), threads,
              threads == 1 ? "" : "s");
  out(stdout, "up %s since %s; reload mode %s; %ld reload%s\n",
              duration(h.value("uptime_seconds", 0L)).c_str(), text(h, "started").c_str(),
              text(h, "reload_mode").c_str(), h.value("reloads", 0L),
              h.value("reloads", 0L) == 1 ? "" : "s");
  if (h.contains("last_reload")) {
    const nlohmann::json& r = h["last_reload"];
    out(stdout, "last reload %s at %s: %s\n", text(r, "result").c_str(), text(r, "at").c_str(),
                text(r, "summary").c_str());
    for (const nlohmann::json& m : r.value("messages", nlohmann::json::array()))
      out(stdout, "  %s\n", m.get<std::string>().c_str());
  }
  static const char* const columns[] = {"name", "type", "state", "directive", "opened", "arguments"};
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"NAME", "TYPE", "STATE", "DIRECTIVE", "OPENED", "ARGUMENTS"});
  for (const nlohmann::json& s : a.at("services")) {
    rows.emplace_back();
    for (const char* c : columns)
      rows.back().push_back(text(s, c));
  }
  std::vector<size_t> width(6, 0);
  for (const auto& r : rows)
    for (size_t i = 0; i < r.size(); ++i)
      width[i] = std::max(width[i], r[i].size());
  const nlohmann::json& services = a.at("services");
  for (size_t n = 0; n < rows.size(); ++n) {
    std::string line;
    for (size_t i = 0; i < rows[n].size(); ++i)
      line += rows[n][i] + (i + 1 < rows[n].size() ? std::string(width[i] - rows[n][i].size() + 2, ' ') : "");
    out(stdout, "%s\n", line.c_str());
    if (n > 0 && !text(services[n - 1], "info").empty() && text(services[n - 1], "info") != "-")
      out(stdout, "  info: %s\n", text(services[n - 1], "info").c_str());
  }
}


/// Prints the host's answer @a a, as JSON when @a json; returns the exit status it carries.
int show(const nlohmann::json& a, bool json)
{
  int const exit = a.value("exit", 0);
  line_priority = exit == 0 ? 6 : 3;
  if (json) {
    std::printf("%s\n", a.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return exit;
  }
  if (a.contains("error")) {
    out(stderr, "starterctl: %s\n", text(a, "error").c_str());
    return exit;
  }
  if (a.contains("services")) {
    print_status(a);
    return exit;
  }
  out(stdout, "%s: %s\n", text(a, "result").c_str(), text(a, "summary").c_str());
  for (const nlohmann::json& m : a.value("messages", nlohmann::json::array()))
    out(stdout, "  %s\n", m.get<std::string>().c_str());
  return exit;
}

}  // namespace

int main(int argc, char** argv)
{
  std::string path = DEFAULT_CONTROL;
  bool json = false;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    if (a == "--json")
      json = true;
    else if (a == "--control" && i + 1 < argc)
      path = argv[++i];
    else if (a.compare(0, 10, "--control=") == 0)
      path = a.substr(10);
    else if (a == "--help" || a == "-h") {
      std::fputs(usage().c_str(), stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-' && words.empty()) {
      std::fprintf(stderr, "starterctl: unknown option '%s'\n%s", a.c_str(), usage().c_str());
      return EXIT_USAGE;
    } else
      words.push_back(a);
  }
  if (words.empty()) {
    std::fputs(usage().c_str(), stderr);
    return EXIT_USAGE;
  }
  // The host checks the request; only what it cannot carry is stopped here.
  std::string request;
  for (const std::string& w : words) {
    if (w.find_first_of(" \t\r\n") != std::string::npos) {
      std::fprintf(stderr, "starterctl: '%s': a word may not hold blanks\n", w.c_str());
      return EXIT_USAGE;
    }
    request += (request.empty() ? "" : " ") + w;
  }
  request += "\n";

  std::string answer;
  std::string why;
  if (!ask(path, request, answer, why)) {
    out(stderr, "starterctl: %s\n", why.c_str());
    return EXIT_NO_ANSWER;
  }
  nlohmann::json const a = nlohmann::json::parse(answer, nullptr, false);
  if (a.is_discarded() || !a.is_object()) {
    out(stderr, "starterctl: the host's answer is no JSON object: %s", answer.c_str());
    return EXIT_NO_ANSWER;
  }
  // An answer of another shape than this client knows (a newer host, say) ends here, said so.
  try {
    return show(a, json);
  } catch (const nlohmann::json::exception& e) {
    out(stderr, "starterctl: unexpected answer (%s): %s", e.what(), answer.c_str());
    return EXIT_NO_ANSWER;
  }
}
