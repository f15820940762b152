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
// and holds none of "%-./\~", else a PATHNAME. One letter or "%" and ":" open a PATHNAME (a
// drive).
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

/// A token: its bytes in the text (a string's quotes included) and its line.
struct Token
{
  Kind kind;
  int line;
  size_t begin, end;
};

const struct
{
  const char* word;
  size_t length;
  Kind kind;
} keywords[] = {{"dynamic", 7, DYNAMIC},  {"static", 6, STATIC},   {"suspend", 7, SUSPEND},
                {"resume", 6, RESUME},    {"remove", 6, REMOVE},   {"stream", 6, STREAM},
                {"Module", 6, MODULE_T},  {"Service_Object", 14, SVC_OBJ_T},
                {"STREAM", 6, STREAM_T},  {"active", 6, ACTIVE},   {"inactive", 8, INACTIVE}};

// What each byte is to the lexer, one table lookup per byte.
enum Char_Class : unsigned char {
  BLANK = 1,    ///< space, tab, CR, LF
  SINGLE = 2,   ///< a token of its own: ":*(){}"
  PATH = 4,     ///< makes a word a PATHNAME: "%-./\~:"
  DOUBT = 8     ///< makes a word unsure: a quote or "#"
};

struct Char_Classes
{
  unsigned char of[256] = {};
  Char_Classes()
  {
    for (unsigned char c : {' ', '\t', '\r', '\n'})
      of[c] |= BLANK;
    for (const char* c = ":*(){}"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= SINGLE;
    for (const char* c = "%-./\\~:"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= PATH;
    for (const char* c = "\"'#"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= DOUBT;
  }
};

const Char_Classes classes;

unsigned char class_of(char c)
{
  return classes.of[static_cast<unsigned char>(c)];
}

bool is_alpha(char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/// The kind of the word of @a n bytes at @a w; @a path when a byte of it makes a PATHNAME.
Kind classify(const char* w, size_t n, bool path)
{
  for (const auto& k : keywords)
    if (k.length == n && k.word[0] == w[0] && std::memcmp(k.word, w, n) == 0)
      return k.kind;
  if ((w[0] >= '0' && w[0] <= '9') || path)
    return PATHNAME;
  return IDENT;
}

/// Splits a text into tokens, one at a time as the reader asks; an unterminated string is a
/// problem, and the rest of its line is skipped.
class Lexer
{
public:
  Lexer(const std::string& text, const std::string& where, std::vector<Conf_Problem>& problems)
      : text_(text), where_(where), problems_(problems)
  {
    next();
  }

  /// The token at hand.
  const Token& token() const { return token_; }

  /// Where the token before the one at hand ends.
  size_t previous_end() const { return previous_end_; }

  /// Moves on to the next token; at the end and at an unsure word, stays there.
  void next()
  {
    if (token_.kind == END || token_.kind == UNSURE)
      return;
    previous_end_ = token_.end;
    token_ = scan();
  }

private:
  Token scan()
  {
    const char* const p = text_.data();
    size_t const n = text_.size();
    while (i_ < n) {
      char const c = p[i_];
      unsigned char const cls = class_of(c);
      if (cls & BLANK) {
        line_ += c == '\n';
        ++i_;
      } else if (c == '#') {
        const void* const nl = std::memchr(p + i_, '\n', n - i_);
        i_ = nl != 0 ? static_cast<size_t>(static_cast<const char*>(nl) - p) : n;
      } else if (cls & SINGLE) {
        ++i_;
        Kind const k = c == ':' ? COLON : c == '*' ? STAR : c == '(' ? LPAREN : c == ')' ? RPAREN
                     : c == '{' ? LBRACE : RBRACE;
        return Token{k, line_, i_ - 1, i_};
      } else if (c == '"' || c == '\'') {
        size_t j = i_ + 1;
        size_t close = std::string::npos;
        for (; j < n && p[j] >= ' ' && p[j] <= '~'; ++j)
          if (p[j] == c)
            close = j;
        if (close == std::string::npos) {
          problems_.push_back(Conf_Problem{where_, line_, "quoted text without its closing quote"});
          while (i_ < n && p[i_] != '\n')
            ++i_;
          continue;
        }
        size_t const begin = i_;
        i_ = close + 1;
        return Token{STRING, line_, begin, i_};
      } else {
        size_t j = i_;
        unsigned char seen = 0;
        if ((is_alpha(c) || c == '%') && i_ + 1 < n && p[i_ + 1] == ':') {
          j = i_ + 2;  // a drive letter, or "%:" as ACE reads it too
          seen = PATH;
        }
        for (unsigned char k; j < n && !((k = class_of(p[j])) & (BLANK | SINGLE)); ++j)
          seen |= k;
        size_t const begin = i_;
        i_ = j;
        // ACE's reader behaves unevenly on such a word, at times ending the input there without
        // a word, at times reading on: from here on everything is accepted.
        if (seen & DOUBT)
          return Token{UNSURE, line_, begin, j};
        return Token{classify(p + begin, j - begin, (seen & PATH) != 0), line_, begin, j};
      }
    }
    return Token{END, line_, n, n};
  }

  const std::string& text_;
  const std::string& where_;
  std::vector<Conf_Problem>& problems_;
  size_t i_ = 0;
  int line_ = 1;
  Token token_{IDENT, 1, 0, 0};  // before the first
  size_t previous_end_ = 0;
};

/// A recursive-descent reader of the tokens: the first error of a directive is a problem,
/// then reading resumes at the next directive keyword.
class Reader
{
public:
  /// With @a collect the "dynamic" directives are collected in dynamics.
  Reader(const std::string& text, const std::string& where, std::vector<Conf_Problem>& problems,
         bool collect)
      : text_(text), lx_(text, where, problems), where_(where), problems_(problems),
        collect_(collect)
  {
  }

  void read_file()
  {
    while (kind() != END && kind() != UNSURE) {
      size_t const first = lx_.token().begin;
      if (entry(false))
        entries.push_back(Text_Span{first, lx_.previous_end()});
      else
        resync();
    }
  }

  /// Where each directive read without a problem begins and ends in the text.
  std::vector<Text_Span> entries;
  std::vector<Conf_Dynamic> dynamics;

  /// Whether the reading stopped at a word it is unsure of.
  bool unsure() const { return kind() == UNSURE; }

private:
  Kind kind() const { return lx_.token().kind; }

  /// The text of the token at hand, a string's without its quotes.
  std::string text() const
  {
    const Token& t = lx_.token();
    if (t.kind == STRING)
      return text_.substr(t.begin + 1, t.end - t.begin - 2);
    return text_.substr(t.begin, t.end - t.begin);
  }

  bool entry(bool module)
  {
    switch (kind()) {
      case DYNAMIC: return dynamic();
      case STATIC: return static_();
      case SUSPEND:
      case RESUME:
      case REMOVE: lx_.next(); return expect(IDENT, "a service name");
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
    lx_.next();
    Conf_Dynamic d;
    d.line = lx_.token().line;
    if (kind() == IDENT && collect_)
      d.name = text();
    if (!expect(IDENT, "a service name"))
      return false;
    Kind const k = kind();
    if (k != MODULE_T && k != SVC_OBJ_T && k != STREAM_T)
      return fail("Module, Service_Object or STREAM");
    lx_.next();
    if (!expect(STAR, "\"*\""))
      return false;
    bool with_path = kind() != COLON;
    if (with_path) {
      Kind const p = kind();
      if (p != PATHNAME && p != IDENT && p != STRING)
        return fail("a library");
      if (collect_)
        d.path = text();
      lx_.next();
    }
    if (!expect(COLON, "\":\""))
      return false;
    if (kind() == IDENT && collect_)
      d.symbol = text();
    if (!expect(IDENT, "a factory name"))
      return false;
    d.function = kind() == LPAREN;
    if (d.function || !with_path) {
      if (!expect(LPAREN, "\"(\"") || !expect(RPAREN, "\")\""))
        return false;
    }
    if (kind() == ACTIVE || kind() == INACTIVE)
      lx_.next();
    if (kind() == STRING)
      lx_.next();
    if (with_path && collect_)
      dynamics.push_back(std::move(d));
    return true;
  }

  bool static_()
  {
    lx_.next();
    if (!expect(IDENT, "a service name"))
      return false;
    if (kind() == STRING)
      lx_.next();
    return true;
  }

  bool stream()
  {
    lx_.next();
    if (kind() == DYNAMIC) {
      if (!dynamic())
        return false;
    } else if (kind() == STATIC) {
      if (!static_())
        return false;
    } else if (!expect(IDENT, "dynamic, static or a stream's name")) {
      return false;
    }
    if (kind() != LBRACE)
      return true;
    for (lx_.next(); kind() != RBRACE;)
      if (!entry(true))
        return false;
    lx_.next();
    return true;
  }

  bool expect(Kind k, const char* what)
  {
    if (kind() != k)
      return fail(what);
    lx_.next();
    return true;
  }

  bool fail(const char* expected)
  {
    if (kind() == UNSURE)
      return false;
    std::string m;
    if (kind() == END)
      m = std::string("expected ") + expected + " before the end";
    else if (kind() == STRING)
      m = std::string("expected ") + expected + ", found quoted text \"" + text().substr(0, 40) + "\"";
    else
      m = std::string("expected ") + expected + ", found '" + text() + "'";
    problems_.push_back(Conf_Problem{where_, lx_.token().line, "syntax error: " + m});
    return false;
  }

  void resync()
  {
    if (kind() == UNSURE)
      return;
    lx_.next();
    for (; kind() != END && kind() != UNSURE; lx_.next())
      if (kind() >= DYNAMIC && kind() <= STREAM)
        return;
  }

  const std::string& text_;
  Lexer lx_;
  const std::string& where_;
  std::vector<Conf_Problem>& problems_;
  bool const collect_;
};

}  // namespace

std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems)
{
  Reader r(text, where, problems, true);
  r.read_file();
  return std::move(r.dynamics);
}

std::vector<Text_Span> directive_pieces(const std::string& text, size_t piece_size)
{
  std::vector<Conf_Problem> problems;
  std::string const where;
  Reader r(text, where, problems, false);
  r.read_file();
  if (!problems.empty())
    return {Text_Span{0, text.size()}};
  // The Configurator may take an unsure word as part of the directive before it (as its
  // parameters, say), so that directive goes with the rest of the text, unread here.
  size_t unsure_from = text.size();
  if (r.unsure()) {
    unsure_from = r.entries.empty() ? 0 : r.entries.back().first;
    if (!r.entries.empty())
      r.entries.pop_back();
  }
  std::vector<Text_Span> pieces;
  for (const Text_Span& e : r.entries) {
    // A directive joins the piece before while that stays within the size; the bytes between
    // two pieces, blanks and comments alone, are left out.
    if (!pieces.empty() && e.second - pieces.back().first <= piece_size)
      pieces.back().second = e.second;
    else
      pieces.push_back(e);
  }
  if (unsure_from < text.size())
    pieces.push_back(Text_Span{unsure_from, text.size()});
  return pieces;
}

void Directive_Text::add(const char* p, size_t n)
{
  const char* const end = p + n;
  while (p < end) {
    if (state_ == LINE_START) {
      while (p < end && (*p == ' ' || *p == '\t' || *p == '\r'))
        ++p;
      if (p == end)
        break;
      if (*p == '\n') {
        text += '\n';
        ++p;
        continue;
      }
      state_ = *p == '#' ? COMMENT : CONTENT;
    }
    const char* const nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* const stop = nl != 0 ? nl + 1 : end;
    if (state_ == CONTENT)
      text.append(p, static_cast<size_t>(stop - p));
    else if (nl != 0)
      text += '\n';
    if (nl != 0)
      state_ = LINE_START;
    p = stop;
  }
}
