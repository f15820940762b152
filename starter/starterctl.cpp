// starterctl: sends one request to a running host's control socket and shows the answer, as
// text for people or as JSON for tools. The exit status is the host's: 0 done, 1 refused or
// failed, 2 done with errors; 3 when no answer came, 64 for a malformed command line.
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
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
#include "starter/version.h"

namespace {

const char DEFAULT_CONTROL[] = "/run/starter/control";
/// How long the connection and the answer may take by default (--timeout): a reload loads
/// every service's library and opens them all, in seconds; a host that is stopped, or whose
/// loop is stuck, is not waited for in minutes.
int const DEFAULT_TIMEOUT_S = 30;
int answer_timeout_ms = DEFAULT_TIMEOUT_S * 1000;
int const EXIT_NO_ANSWER = 3;
int const EXIT_USAGE = 64;

/// The usage, its commands read from the table the host reads requests by.
std::string usage()
{
  std::string u = "Usage: starterctl [--control PATH] [--json] [--all] [--timeout SECONDS] COMMAND\n"
                  "       starterctl --version\n\nCommands:\n";
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
         "  --all            status: ACE's built-in entries that no directive opened too\n"
         "  --version        print starterctl's version and exit\n"
         "  --timeout SECONDS  how long to wait for the host (default 30)\n"
         "\n"
         "Exit status: 0 done, 1 refused or failed, 2 reloaded with errors, 3 no answer, 64 "
         "usage.\n";
}

/// The name of user @a uid, or its number.
std::string user_name(uid_t uid)
{
  const passwd* const p = ::getpwuid(uid);
  return p != 0 ? p->pw_name : std::to_string(uid);
}

/// The name of group @a gid, or its number.
std::string group_name(gid_t gid)
{
  const group* const g = ::getgrgid(gid);
  return g != 0 ? g->gr_name : std::to_string(gid);
}

/// Why the socket at @a path refused this caller, said from its owner and group: the host
/// serves root, its own user and its control group, and the socket's mode keeps out the rest
/// before the host sees them.
std::string who_may_connect(const std::string& path)
{
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || ::geteuid() == st.st_uid || ::getegid() == st.st_gid)
    return std::string();
  gid_t groups[256];
  int const n = ::getgroups(256, groups);
  if (std::find(groups, groups + std::max(n, 0), st.st_gid) != groups + std::max(n, 0))
    return std::string();  // kept out by a directory on the way, not by the socket
  return ": the host serves root, its user " + user_name(st.st_uid) + " and the members of group " +
         group_name(st.st_gid) + "; you are " + user_name(::geteuid()) +
         ", not in that group (run as root, or have the host started with --control-group and "
         "a group of yours)";
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
  // A connect to a host whose backlog is full waits: as long as an answer may.
  timeval const limit = {answer_timeout_ms / 1000, (answer_timeout_ms % 1000) * 1000};
  if (fd >= 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int const e = errno;
    why = path + ": " + std::strerror(e) + (e == EACCES ? who_may_connect(path) : "");
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
    int const ready = ::poll(&p, 1, answer_timeout_ms);
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

/// The journal's priority of the lines printed next. The host has logged a failure it answers
/// with at its own priority, so its echo here is a notice; an error is this client's own (no
/// answer, a malformed one) only.
int line_priority = 6;

/// Prints one line, @a format, to @a f: on the journal's stream with its priority first
/// (line_priority).
void out(FILE* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void out(FILE* f, const char* format, ...)
{
  if (is_journal_stream(std::getenv("JOURNAL_STREAM"), ::fileno(f)))
    std::fprintf(f, "<%d>", line_priority);
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

/// The columns @a s takes on a terminal: one for each character of UTF-8 text (each byte that
/// does not continue a character).
size_t columns_of(const std::string& s)
{
  size_t n = 0;
  for (unsigned char c : s)
    n += (c & 0xC0) != 0x80;
  return n;
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
  if (h.contains("loop"))
    out(stdout, "loop %s\n", text(h, "loop").c_str());
  if (h.value("services_changing", false))
    out(stdout, "services: a reload or a command is changing them; ask again\n");
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
      width[i] = std::max(width[i], columns_of(r[i]));
  const nlohmann::json& services = a.at("services");
  for (size_t n = 0; n < rows.size(); ++n) {
    std::string line;
    for (size_t i = 0; i < rows[n].size(); ++i)
      line += rows[n][i] +
              (i + 1 < rows[n].size() ? std::string(width[i] - columns_of(rows[n][i]) + 2, ' ') : "");
    out(stdout, "%s\n", line.c_str());
    if (n > 0 && !text(services[n - 1], "info").empty() && text(services[n - 1], "info") != "-")
      out(stdout, "  info: %s\n", text(services[n - 1], "info").c_str());
    if (n > 0 && services[n - 1].contains("last_death"))
      out(stdout, "  %ld deaths, the last %s\n", services[n - 1].value("deaths", 0L),
          text(services[n - 1], "last_death").c_str());
  }
  // The listening sockets the host holds, which a reopened service gets back.
  for (const nlohmann::json& l : a.value("listeners", nlohmann::json::array()))
    out(stdout, "listening %s: %s\n", text(l, "address").c_str(), text(l, "service").c_str());
}


/// Prints the host's answer @a a, as JSON when @a json; returns the exit status it carries.
int show(const nlohmann::json& a, bool json)
{
  int const exit = a.value("exit", 0);
  line_priority = exit == 0 ? 6 : 5;
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
  bool all = false;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    std::string const a = argv[i];
    if (a == "--json")
      json = true;
    else if (a == "--all")
      all = true;
    else if (a == "--version") {
      std::printf("starterctl %s (rev %s)\n", STARTER_PACKAGE_VERSION, STARTER_REVISION);
      return 0;
    }
    else if (a == "--control" && i + 1 < argc)
      path = argv[++i];
    else if (a.compare(0, 10, "--control=") == 0)
      path = a.substr(10);
    else if (a == "--timeout" && i + 1 < argc && std::atoi(argv[i + 1]) > 0)
      answer_timeout_ms = std::atoi(argv[++i]) * 1000;
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
  if (all && words.size() == 1 && words[0] == "status")
    request += " all";
  request += "\n";

  std::string answer;
  std::string why;
  if (!ask(path, request, answer, why)) {
    line_priority = 3;
    out(stderr, "starterctl: %s\n", why.c_str());
    return EXIT_NO_ANSWER;
  }
  nlohmann::json const a = nlohmann::json::parse(answer, nullptr, false);
  line_priority = 3;
  if (a.is_discarded() || !a.is_object()) {
    out(stderr, "starterctl: the host's answer is no JSON object: %s", answer.c_str());
    return EXIT_NO_ANSWER;
  }
  // An answer of another shape than this client knows (a newer host, say) ends here, said so.
  try {
    return show(a, json);
  } catch (const nlohmann::json::exception& e) {
    line_priority = 3;
    out(stderr, "starterctl: unexpected answer (%s): %s", e.what(), answer.c_str());
    return EXIT_NO_ANSWER;
  }
}
