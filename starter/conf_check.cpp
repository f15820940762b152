// The configuration check: the Service Configurator's directive language, read as ACE's own
// lexer and parser read it (their quirks included, since the check must accept all they
// accept), and the libraries and factories its "dynamic" directives name.
//
// The language:
//   file     := entry*
//   entry    := dynamic | static | suspend | resume | remove | stream
//   dynamic  := "dynamic" IDENT type init [ "active" | "inactive" ] [ STRING ]
//   type     := ( "Module" | "Service_Object" | "STREAM" ) "*"
//   init     := path ":" IDENT [ "(" ")" ]  |  ":" IDENT "(" ")"
//   path     := PATHNAME | IDENT | STRING
//   static   := "static" IDENT [ STRING ]
//   suspend  := "suspend" IDENT      (resume, remove alike)
//   stream   := "stream" ( dynamic | static | IDENT ) [ "{" module* "}" ]
//   module   := dynamic | static | suspend | resume | remove
// Tokens: blanks are space, tab, CR and LF; "#" before a token starts a comment to the end of
// the line; ":*(){}" stand alone; a quote starts a string that runs to the LAST quote of the
// same kind before the first character outside printable ASCII (so "a" "b" is one string);
// other runs of characters are words: a keyword, else an IDENT when it starts with no digit
// and holds none of "%-./\~", else a PATHNAME. One letter and ":" open a PATHNAME (a drive).
// A word holding a quote or "#" ends the check, accepting all before it that is sound.
#include "starter/conf_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <ace/DLL.h>
#include <ace/Get_Opt.h>
#include <ace/OS_NS_string.h>
#include <ace/Service_Config.h>

namespace {

enum Kind {
  END, UNSURE, IDENT, PATHNAME, STRING, COLON, STAR, LPAREN, RPAREN, LBRACE, RBRACE,
  DYNAMIC, STATIC, SUSPEND, RESUME, REMOVE, STREAM, MODULE_T, SVC_OBJ_T, STREAM_T, ACTIVE,
  INACTIVE
};

struct Token
{
  Kind kind;
  std::string text;
  int line;
};

const struct
{
  const char* word;
  Kind kind;
} keywords[] = {{"dynamic", DYNAMIC},   {"static", STATIC},        {"suspend", SUSPEND},
                {"resume", RESUME},     {"remove", REMOVE},        {"stream", STREAM},
                {"Module", MODULE_T},   {"Service_Object", SVC_OBJ_T}, {"STREAM", STREAM_T},
                {"active", ACTIVE},     {"inactive", INACTIVE}};

bool is_blank(char c)
{
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_single(char c)
{
  return c != 0 && std::strchr(":*(){}", c) != 0;
}

bool is_alpha(char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

Kind classify(const std::string& w)
{
  for (const auto& k : keywords)
    if (w == k.word)
      return k.kind;
  if ((w[0] >= '0' && w[0] <= '9') || w.find_first_of("%-./\\~:") != std::string::npos)
    return PATHNAME;
  return IDENT;
}

/// Splits @a text into tokens; an unterminated string is a problem, and the rest of its line
/// is skipped.
std::vector<Token> lex(const std::string& text, const std::string& where,
                       std::vector<Conf_Problem>& problems)
{
  std::vector<Token> tokens;
  int line = 1;
  size_t i = 0;
  size_t const n = text.size();
  while (i < n) {
    char const c = text[i];
    if (is_blank(c)) {
      line += c == '\n';
      ++i;
    } else if (c == '#') {
      while (i < n && text[i] != '\n')
        ++i;
    } else if (is_single(c)) {
      static const Kind singles[] = {COLON, STAR, LPAREN, RPAREN, LBRACE, RBRACE};
      tokens.push_back(Token{singles[std::strchr(":*(){}", c) - ":*(){}"], std::string(1, c), line});
      ++i;
    } else if (c == '"' || c == '\'') {
      size_t j = i + 1;
      size_t close = std::string::npos;
      for (; j < n && text[j] >= ' ' && text[j] <= '~'; ++j)
        if (text[j] == c)
          close = j;
      if (close == std::string::npos) {
        problems.push_back(Conf_Problem{where, line, "quoted text without its closing quote"});
        while (i < n && text[i] != '\n')
          ++i;
        continue;
      }
      tokens.push_back(Token{STRING, text.substr(i + 1, close - i - 1), line});
      i = close + 1;
    } else {
      size_t j = i;
      if (is_alpha(c) && i + 1 < n && text[i + 1] == ':')
        j = i + 2;  // a drive letter
      while (j < n && !is_blank(text[j]) && !is_single(text[j]))
        ++j;
      std::string w = text.substr(i, j - i);
      // ACE's reader behaves unevenly on such a word, at times ending the input there without
      // a word, at times reading on: from here on everything is accepted.
      if (w.find_first_of("\"'#") != std::string::npos) {
        tokens.push_back(Token{UNSURE, w, line});
        break;
      }
      tokens.push_back(Token{classify(w), w, line});
      i = j;
    }
  }
  tokens.push_back(Token{END, "", line});
  return tokens;
}

/// A "dynamic" directive whose library can be looked at.
struct Dynamic
{
  int line;
  std::string name;
  std::string path;
  std::string symbol;
  bool function;
};

/// A recursive-descent reader of the tokens: the first error of a directive is a problem,
/// then reading resumes at the next directive keyword.
class Reader
{
public:
  Reader(std::vector<Token> tokens, const std::string& where, std::vector<Conf_Problem>& problems)
      : t_(std::move(tokens)), where_(where), problems_(problems)
  {
  }

  void read_file()
  {
    while (t_[at_].kind != END && t_[at_].kind != UNSURE)
      if (!entry(false))
        resync();
  }

  std::vector<Dynamic> dynamics;

private:
  bool entry(bool module)
  {
    switch (t_[at_].kind) {
      case DYNAMIC: return dynamic();
      case STATIC: return static_();
      case SUSPEND:
      case RESUME:
      case REMOVE: ++at_; return expect(IDENT, "a service name");
      case STREAM:
        if (!module)
          return stream();
        [[fallthrough]];  // no stream inside a stream
      default:
        return fail(module ? "a module directive (dynamic, static, suspend, resume, remove) or \"}\""
                           : "a directive (dynamic, static, suspend, resume, remove, stream)");
    }
  }

  bool dynamic()
  {
    ++at_;
    Dynamic d;
    d.line = t_[at_].line;
    d.name = t_[at_].text;
    if (!expect(IDENT, "a service name"))
      return false;
    Kind const k = t_[at_].kind;
    if (k != MODULE_T && k != SVC_OBJ_T && k != STREAM_T)
      return fail("Module, Service_Object or STREAM");
    ++at_;
    if (!expect(STAR, "\"*\""))
      return false;
    bool with_path = t_[at_].kind != COLON;
    if (with_path) {
      Kind const p = t_[at_].kind;
      if (p != PATHNAME && p != IDENT && p != STRING)
        return fail("a library");
      d.path = t_[at_++].text;
    }
    if (!expect(COLON, "\":\""))
      return false;
    d.symbol = t_[at_].text;
    if (!expect(IDENT, "a factory name"))
      return false;
    d.function = t_[at_].kind == LPAREN;
    if (d.function || !with_path) {
      if (!expect(LPAREN, "\"(\"") || !expect(RPAREN, "\")\""))
        return false;
    }
    if (t_[at_].kind == ACTIVE || t_[at_].kind == INACTIVE)
      ++at_;
    if (t_[at_].kind == STRING)
      ++at_;
    if (with_path)
      dynamics.push_back(d);
    return true;
  }

  bool static_()
  {
    ++at_;
    if (!expect(IDENT, "a service name"))
      return false;
    if (t_[at_].kind == STRING)
      ++at_;
    return true;
  }

  bool stream()
  {
    ++at_;
    if (t_[at_].kind == DYNAMIC) {
      if (!dynamic())
        return false;
    } else if (t_[at_].kind == STATIC) {
      if (!static_())
        return false;
    } else if (!expect(IDENT, "dynamic, static or a stream's name")) {
      return false;
    }
    if (t_[at_].kind != LBRACE)
      return true;
    for (++at_; t_[at_].kind != RBRACE;)
      if (!entry(true))
        return false;
    ++at_;
    return true;
  }

  bool expect(Kind k, const char* what)
  {
    if (t_[at_].kind != k)
      return fail(what);
    ++at_;
    return true;
  }

  bool fail(const char* expected)
  {
    const Token& t = t_[at_];
    if (t.kind == UNSURE)
      return false;
    std::string m;
    if (t.kind == END)
      m = std::string("expected ") + expected + " before the end";
    else if (t.kind == STRING)
      m = std::string("expected ") + expected + ", found quoted text \"" + t.text.substr(0, 40) + "\"";
    else
      m = std::string("expected ") + expected + ", found '" + t.text + "'";
    problems_.push_back(Conf_Problem{where_, t.line, "syntax error: " + m});
    return false;
  }

  void resync()
  {
    if (t_[at_].kind == UNSURE)
      return;
    if (t_[at_].kind != END)
      ++at_;
    for (; t_[at_].kind != END && t_[at_].kind != UNSURE; ++at_)
      if (t_[at_].kind >= DYNAMIC && t_[at_].kind <= STREAM)
        return;
  }

  std::vector<Token> t_;
  size_t at_ = 0;
  const std::string& where_;
  std::vector<Conf_Problem>& problems_;
};

/// The name ACE's loader looks up for the factory @a symbol.
std::string factory_symbol(const Dynamic& d)
{
#if defined(ACE_HAS_VERSIONED_NAMESPACE) && ACE_HAS_VERSIONED_NAMESPACE == 1
#define STARTER_STR_I(X) #X
#define STARTER_STR(X) STARTER_STR_I(X)
  if (d.function && d.symbol.compare(0, 6, "_make_") == 0)
    return "_make_" STARTER_STR(ACE_VERSIONED_NAMESPACE_NAME) "_" + d.symbol.substr(6);
#endif
  return d.symbol;
}

/// Loads the library of @a d through ACE's loader and looks up its factory.
void check_library(const Dynamic& d, const std::string& where, std::vector<Conf_Problem>& problems)
{
  ACE_DLL dll;
  if (dll.open(d.path.c_str(), ACE_DEFAULT_SHLIB_MODE, true) == -1) {
    // The loader tells one reason per name it tried, a line each.
    std::string why = dll.error() != 0 ? dll.error() : "not found";
    while (!why.empty() && why.back() == '\n')
      why.pop_back();
    for (size_t nl; (nl = why.find('\n')) != std::string::npos;)
      why.replace(nl, 1, "; ");
    problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": cannot load library '" +
                                                       d.path + "': " + why});
    return;
  }
  std::string const symbol = factory_symbol(d);
  if (dll.symbol(symbol.c_str()) == 0)
    problems.push_back(Conf_Problem{where, d.line, "service " + d.name + ": library '" + d.path +
                                                       "' has no symbol '" + symbol + "'"});
}

}  // namespace

std::string format_problem(const Conf_Problem& p)
{
  if (p.line == 0)
    return p.where + ": " + p.message;
  return p.where + ":" + std::to_string(p.line) + ": " + p.message;
}

void check_directives(const std::string& text, const std::string& where, bool load,
                      std::vector<Conf_Problem>& problems)
{
  Reader r(lex(text, where, problems), where, problems);
  r.read_file();
  if (load)
    for (const Dynamic& d : r.dynamics)
      check_library(d, where, problems);
}

/// Opens @a path without blocking on a FIFO; -1 with @a why when it is no readable regular file.
static int open_conf_file(const std::string& path, std::string& why)
{
  int const fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
    ::close(fd);
    return -1;
  }
  return fd;
}

bool readable_conf_file(const std::string& path, std::string& why)
{
  int const fd = open_conf_file(path, why);
  if (fd >= 0)
    ::close(fd);
  return fd >= 0;
}

void check_conf_file(const std::string& path, bool load, std::vector<Conf_Problem>& problems)
{
  std::string why;
  int const fd = open_conf_file(path, why);
  if (fd < 0) {
    problems.push_back(Conf_Problem{path, 0, "cannot be read: " + why});
    return;
  }
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t const got = ::read(fd, buf, sizeof buf);
    if (got > 0) {
      text.append(buf, static_cast<size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      if (got < 0)
        problems.push_back(Conf_Problem{path, 0, std::string("cannot be read: ") + std::strerror(errno)});
      break;
    }
  }
  ::close(fd);
  check_directives(text, path, load, problems);
}

std::vector<std::string> check_service_config_vector(int argc, char** argv, bool directives,
                                                     std::vector<Conf_Problem>& problems)
{
  std::vector<std::string> files;
  std::vector<std::string> commands;
  ACE_Get_Opt opt(argc, argv, "bdf:k:nyp:s:S:", 1, 0, ACE_Get_Opt::RETURN_IN_ORDER, 0);
  for (int c; (c = opt()) != -1;) {
    if (c == 'f')
      files.push_back(opt.opt_arg());
    else if (c == 'S')
      commands.push_back(opt.opt_arg());
  }
  // Without "-f" the Configurator reads its default file, when there is one.
  if (files.empty() && ::access(ACE_DEFAULT_SVC_CONF, F_OK) == 0)
    files.push_back(ACE_DEFAULT_SVC_CONF);
  for (const std::string& f : files)
    check_conf_file(f, true, problems);
  if (directives)
    for (const std::string& s : commands)
      check_directives(s, "-S '" + s + "'", true, problems);
  return files;
}
