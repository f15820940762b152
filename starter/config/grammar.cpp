// The Service Configurator's directive language as ACE's lexer and parser read it; each rule
// below was held against ACE's own reading of the same text.
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
#include "starter/config/grammar.h"

#include <cstring>
#include <utility>

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
  size_t begin = 0;  ///< its first byte in the text
  size_t end = 0;    ///< one past its last byte
  char quote = 0;    ///< a STRING's quote
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
      tokens.push_back(Token{singles[std::strchr(":*(){}", c) - ":*(){}"], std::string(1, c), line,
                             i, i + 1});
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
      tokens.push_back(Token{STRING, text.substr(i + 1, close - i - 1), line, i, close + 1, c});
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
      tokens.push_back(Token{classify(w), w, line, i, j});
      i = j;
    }
  }
  tokens.push_back(Token{END, "", line, n, n});
  return tokens;
}

/// A recursive-descent reader of the tokens: the first error of a directive is a problem,
/// then reading resumes at the next directive keyword.
class Reader
{
public:
  Reader(std::vector<Token> tokens, const std::string& where, std::vector<Conf_Problem>& problems,
         std::vector<Conf_Entry>* entries)
      : t_(std::move(tokens)), where_(where), problems_(problems), entries_(entries)
  {
  }

  void read_file()
  {
    while (t_[at_].kind != END && t_[at_].kind != UNSURE) {
      size_t const first = at_;
      library_.clear();
      if (!entry(false))
        resync();
      else if (entries_ != 0)
        entries_->push_back(make_entry(first));
    }
  }

  std::vector<Conf_Dynamic> dynamics;

private:
  /// The directive of tokens @a first up to the reader's place.
  Conf_Entry make_entry(size_t first) const
  {
    const Token& k = t_[first];
    size_t const n = k.kind == STREAM && (t_[first + 1].kind == DYNAMIC || t_[first + 1].kind == STATIC)
                         ? first + 2 : first + 1;
    Conf_Entry e{where_, k.line, k.begin, t_[at_ - 1].end, k.text, t_[n].text, library_, ""};
    for (size_t i = first; i < at_; ++i) {
      if (i != first)
        e.normal += ' ';
      if (t_[i].kind == STRING)
        e.normal += t_[i].quote + t_[i].text + t_[i].quote;
      else
        e.normal += t_[i].text;
    }
    return e;
  }

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
    Conf_Dynamic d;
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
      if (!module_)
        library_ = d.path;
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
    module_ = true;
    for (++at_; t_[at_].kind != RBRACE;)
      if (!entry(true)) {
        module_ = false;
        return false;
      }
    module_ = false;
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
  std::vector<Conf_Entry>* entries_;
  bool module_ = false;  ///< reading a stream's body
  std::string library_;  ///< the library of the directive being read, when it names one
};

}  // namespace

std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems,
                                          std::vector<Conf_Entry>* entries)
{
  Reader r(lex(text, where, problems), where, problems, entries);
  r.read_file();
  return r.dynamics;
}
