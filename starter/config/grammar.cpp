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
// Tokens: blanks before a token are those of isspace(); "#" there starts a comment to the end
// of the line; ":*(){}" stand alone; a quote starts a string that runs to the LAST quote of the
// same kind before the first character outside printable ASCII (so "a" "b" is one string);
// other runs of characters up to a space, tab, CR, LF or one of ":*(){}" are words: a keyword,
// else an IDENT when it starts with no digit and holds none of "%-./\~", else a PATHNAME. One
// letter (or "%") and ":" open a PATHNAME (a drive).
//
// What ACE misreads is an error here: a NUL byte (its end of input), "#" or a quote inside a
// word (the word is dropped, or read as a string from its second character), a form feed or
// vertical tab inside a word (part of the word), and a word or a string's line longer than its
// buffer (its end of input). So is what its parser would act on unsafely: the "Module" and
// "STREAM" types (it takes any factory's object for one), "static" in a stream's body, and a
// body that names a stream or module not in place before the directive.
#include "starter/config/grammar.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>

namespace {

enum Kind {
  END, BAD, IDENT, PATHNAME, STRING, COLON, STAR, LPAREN, RPAREN, LBRACE, RBRACE,
  DYNAMIC, STATIC, SUSPEND, RESUME, REMOVE, STREAM, MODULE_T, SVC_OBJ_T, STREAM_T, ACTIVE,
  INACTIVE
};

/// A token: its kind and place. Its text is read from the source when wanted: most tokens are
/// only looked at for their kind, and a text of tokens costs as much again as the text.
struct Token
{
  Token(Kind k, int l, size_t b, size_t e)
      : kind(k), line(l), begin(static_cast<uint32_t>(b)), end(static_cast<uint32_t>(e))
  {
  }
  Kind kind;
  int line;
  uint32_t begin;  ///< texts are far shorter than 4 GiB: a file is at most 16 MiB
  uint32_t end;
};

const struct
{
  std::string_view word;
  Kind kind;
} keywords[] = {{"dynamic", DYNAMIC},   {"static", STATIC},        {"suspend", SUSPEND},
                {"resume", RESUME},     {"remove", REMOVE},        {"stream", STREAM},
                {"Module", MODULE_T},   {"Service_Object", SVC_OBJ_T}, {"STREAM", STREAM_T},
                {"active", ACTIVE},     {"inactive", INACTIVE}};

bool is_alpha(char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/// A character's classes in ACE's reader, looked up rather than searched for: the lexer asks
/// of each byte of a text.
enum Char_Class : unsigned char { BLANK = 1, SINGLE = 2, ENDS_WORD = 4, NOT_IDENT = 8, FF_VT = 16 };

struct Char_Classes
{
  unsigned char of[256];
  Char_Classes() : of()
  {
    for (int c = 0; c < 256; ++c)
      if (std::isspace(c))
        of[c] |= BLANK;
    for (const char* c = ":*(){}"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= SINGLE;
    // What ends a word: a separator, or a character that changes the reader's state.
    of[0] |= ENDS_WORD;
    for (const char* c = " \t\r\n:*(){}#\"'"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= ENDS_WORD;
    for (const char* c = "%-./\\~:"; *c != 0; ++c)
      of[static_cast<unsigned char>(*c)] |= NOT_IDENT;
    of[static_cast<unsigned char>('\f')] |= FF_VT;
    of[static_cast<unsigned char>('\v')] |= FF_VT;
  }
};

const Char_Classes char_classes;

inline unsigned char class_of(char c)
{
  return char_classes.of[static_cast<unsigned char>(c)];
}

inline bool has(char c, Char_Class k)
{
  return (class_of(c) & k) != 0;
}

/// The kind of word @a w, the classes of whose bytes together are @a classes.
Kind classify(std::string_view w, unsigned char classes)
{
  if (w.size() >= 6 && w.size() <= 14)  // the keywords' lengths
    for (const auto& k : keywords)
      if (w[0] == k.word[0] && w == k.word)
        return k.kind;
  if (w[0] >= '0' && w[0] <= '9')
    return PATHNAME;
  return (classes & NOT_IDENT) != 0 ? PATHNAME : IDENT;
}

/// The kind of a character that stands alone, one of ":*(){}".
Kind single_kind(char c)
{
  switch (c) {
    case ':': return COLON;
    case '*': return STAR;
    case '(': return LPAREN;
    case ')': return RPAREN;
    case '{': return LBRACE;
    default: return RBRACE;
  }
}

std::string shown(std::string_view w)
{
  return w.size() <= 40 ? std::string(w) : std::string(w.substr(0, 40)) + "...";
}

/// Splits a text into tokens, one at a time, as the reader asks for them: a text's tokens are
/// never all held at once. What ACE's reader would take otherwise is a problem and a BAD token,
/// after which the rest of the line is skipped; a NUL byte ends the text. Its problems go to
/// their own list, which the reader puts before its own.
class Lexer
{
public:
  Lexer(const std::string& text, const std::string& where) : text_(text), where_(where) {}

  /// The next token; END, again and again, once the text is read.
  Token next();

  std::vector<Conf_Problem> problems;

private:
  Token bad(size_t at, const std::string& why, bool unsafe)
  {
    problems.push_back(Conf_Problem{where_, line_, why, unsafe ? CONF_UNSAFE : CONF_ERROR});
    Token const t{BAD, line_, at, at};
    while (i_ < text_.size() && text_[i_] != '\n' && text_[i_] != 0)
      ++i_;
    return t;
  }

  const std::string& text_;
  const std::string& where_;
  int line_ = 1;
  size_t i_ = 0;
  bool ended_ = false;  ///< at a NUL byte
};

Token Lexer::next()
{
  const std::string& text = text_;
  size_t const n = ended_ ? 0 : text.size();
  int& line = line_;
  size_t& i = i_;
  while (i < n) {
    char const c = text[i];
    if (c == 0) {
      problems.push_back(Conf_Problem{where_, line, "a NUL byte: the Service Configurator ends "
                                                    "its input there", CONF_UNSAFE});
      ended_ = true;
      return Token{BAD, line, i, i};
    }
    if (has(c, BLANK)) {
      line += c == '\n';
      ++i;
    } else if (c == '#') {
      const void* const nl = std::memchr(text.data() + i, '\n', n - i);
      size_t const eol =
          nl != 0 ? static_cast<size_t>(static_cast<const char*>(nl) - text.data()) : n;
      const void* const nul = std::memchr(text.data() + i, 0, eol - i);
      i = nul != 0 ? static_cast<size_t>(static_cast<const char*>(nul) - text.data()) : eol;
      // The Service Configurator's reader fails on a form feed or vertical tab among the blanks
      // that follow a comment, though it takes them as blanks anywhere else.
      size_t j = i;
      int blank_line = line;
      while (j < n && has(text[j], BLANK) && text[j] != '\f' && text[j] != '\v')
        blank_line += text[j++] == '\n';
      if (j < n && (text[j] == '\f' || text[j] == '\v')) {
        i = j;
        line = blank_line;
        return bad(j, "a form feed or vertical tab after a comment: the Service Configurator "
                      "cannot read it there", false);
      }
    } else if (has(c, SINGLE)) {
      ++i;
      return Token{single_kind(c), line, i - 1, i};
    } else if (c == '"' || c == '\'') {
      size_t j = i + 1;
      size_t close = std::string::npos;
      for (; j < n && text[j] >= ' ' && text[j] <= '~'; ++j)
        if (text[j] == c)
          close = j;
      if (j - i > CONF_MAX_TOKEN)
        return bad(i, "quoted text runs " + std::to_string(j - i) + " bytes to the end of its "
                      "line: the Service Configurator reads at most " +
                      std::to_string(CONF_MAX_TOKEN) + " at once and ends its input there", false);
      if (close == std::string::npos)
        return bad(i, "quoted text without its closing quote", false);
      size_t const at = i;
      i = close + 1;
      return Token{STRING, line, at, close + 1};
    } else {
      size_t j = i;
      unsigned char classes = 0;  // of all the word's bytes, each byte looked up once
      if ((is_alpha(c) || c == '%') && i + 1 < n && text[i + 1] == ':') {
        classes = class_of(c) | class_of(':');
        j = i + 2;  // a drive
      }
      for (; j < n; ++j) {
        unsigned char const k = class_of(text[j]);
        if ((k & ENDS_WORD) != 0)
          break;
        classes |= k;
      }
      std::string_view const w(text.data() + i, j - i);
      size_t const at = i;
      i = j;
      if (j < n && text[j] == '#')
        return bad(at, "'#' inside the word '" + shown(std::string(w) + "#") + "': the Service "
                       "Configurator drops the word and reads the rest of the line as a comment",
                   false);
      if (j < n && (text[j] == '"' || text[j] == '\''))
        return bad(at, "a quote inside the word '" + shown(std::string(w) + text[j]) + "': the "
                       "Service Configurator reads a quoted text from its second character",
                   false);
      if ((classes & FF_VT) != 0)
        return bad(at, "a form feed or vertical tab inside the word '" + shown(w) + "': the "
                       "Service Configurator takes it as part of the word", false);
      if (w.size() > CONF_MAX_TOKEN)
        return bad(at, "a word of " + std::to_string(w.size()) + " bytes: the Service "
                       "Configurator reads at most " + std::to_string(CONF_MAX_TOKEN) +
                       " at once and ends its input there", false);
      return Token{classify(w, classes), line, at, j};
    }
  }
  return Token{END, line, text.size(), text.size()};
}

const char* kind_name(Conf_Kind k)
{
  return k == CONF_STREAM ? "a stream" : k == CONF_MODULE ? "a module" : "a service object";
}

/// A recursive-descent reader of the tokens: the first error of a directive is a problem,
/// then reading resumes at the next directive keyword.
class Reader
{
public:
  Reader(const std::string& source, const std::string& where, std::vector<Conf_Problem>& problems,
         Conf_Known& known)
      : source_(source), lexer_(source, where), where_(where), problems_(problems), known_(known)
  {
  }

  /// The lexer's problems, which come before the reader's.
  std::vector<Conf_Problem>& lexer_problems() { return lexer_.problems; }

  void read_file(std::vector<Conf_Entry>* entries)
  {
    while (tok(at_).kind != END) {
      // The tokens before a directive are not looked at again.
      t_.erase(t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(at_ - base_));
      base_ = at_;
      size_t const first = at_;
      size_t const dynamics_before = dynamics.size();
      stream_ = std::string();
      defined_.name.clear();
      removed_.clear();
      bool const ok = entry(false);
      if (!ok) {
        resync();
        continue;
      }
      // What the directive defines is in place for the directives after it.
      if (!defined_.name.empty()) {
        known_.defined[defined_.name] = Conf_Known::Defined{file(), defined_.line, defined_.kind};
        if (defined_.kind == CONF_STREAM)
          known_.modules[defined_.name].clear();
      }
      for (const auto& m : modules_)
        for (const auto& module : m.second) {
          known_.modules[m.first].insert(module.first);
          known_.defined[module.first] = Conf_Known::Defined{file(), module.second, CONF_MODULE};
        }
      modules_.clear();
      for (const std::string& r : removed_)
        known_.defined.erase(r);
      // A token the lexer refused right after may have belonged to the directive: it is not
      // applied short of it.
      if (entries != 0 && tok(at_).kind != BAD)
        entries->push_back(make_entry(first, dynamics_before));
    }
  }

  std::vector<Conf_Dynamic> dynamics;
  /// Where each service a directive names goes, when wanted.
  std::vector<Conf_Service>* services = nullptr;

private:
  /// The directive of tokens @a first up to the reader's place; the dynamics after
  /// @a dynamics_before are its own.
  Conf_Entry make_entry(size_t first, size_t dynamics_before)
  {
    Conf_Entry e{tok(first).line, tok(first).begin, tok(at_ - 1).end, text(first), name_};
    bool const defines = tok(first).kind == DYNAMIC ||
                         (tok(first).kind == STREAM && tok(first + 1).kind == DYNAMIC);
    if (defines && dynamics.size() > dynamics_before)
      e.library = dynamics[dynamics_before].path;
    // At most one blank more than the text between each two words, which the text may join
    // ("lib:make()"); a string's quotes are two characters either way: one allocation, kept
    // for as long as the service runs.
    e.normal.reserve(e.end - e.begin + (at_ - first - 1));
    for (size_t i = first; i < at_; ++i) {
      if (i != first)
        e.normal += ' ';
      bool const quoted = tok(i).kind == STRING;
      if (quoted)
        e.normal += '"';
      e.normal += text_view(i);
      if (quoted)
        e.normal += '"';
    }
    return e;
  }

  /// Where in a directive a "dynamic" stands, which decides the types it may have.
  enum Place { TOP, STREAM_HEAD, STREAM_BODY };

  bool entry(bool module)
  {
    int const line = tok(at_).line;
    switch (tok(at_).kind) {
      case DYNAMIC: return dynamic(module ? STREAM_BODY : TOP);
      case STATIC:
        if (module)
          unsafe(line, "static inside a stream's body: the Service Configurator cannot carry it "
                       "out (it pushes a module it does not check)");
        return static_(module);
      case SUSPEND:
      case RESUME:
      case REMOVE: {
        bool const removal = tok(at_).kind == REMOVE;
        ++at_;
        std::string const name = text(at_);
        if (!expect(IDENT, "a service name"))
          return false;
        if (module)
          body_names_module(line, name, removal);
        else {
          name_ = name;
          if (removal)
            removed_.push_back(name);
        }
        return true;
      }
      case STREAM:
        if (!module)
          return stream();
        [[fallthrough]];  // no stream inside a stream
      default:
        return fail(module ? "a module directive (dynamic, static, suspend, resume, remove) or \"}\""
                           : "a directive (dynamic, static, suspend, resume, remove, stream)");
    }
  }

  bool dynamic(Place place)
  {
    ++at_;
    Conf_Dynamic d;
    d.line = tok(at_).line;
    d.name = text(at_);
    if (!expect(IDENT, "a service name"))
      return false;
    Kind const k = tok(at_).kind;
    if (k != MODULE_T && k != SVC_OBJ_T && k != STREAM_T)
      return fail("Module, Service_Object or STREAM");
    // ACE takes the factory's object for the type the text names, unchecked, and a wrong
    // guess crashes it; only a Service_Object's factory can be told from its symbol.
    if (k != SVC_OBJ_T)
      unsafe(d.line, "service " + d.name + ": type " + text(at_) + ": the host opens "
             "Service_Object services only, as the Service Configurator cannot tell what a "
             "factory makes and crashes when it is not a " + text(at_));
    ++at_;
    if (!expect(STAR, "\"*\""))
      return false;
    bool with_path = tok(at_).kind != COLON;
    if (with_path) {
      Kind const p = tok(at_).kind;
      if (p != PATHNAME && p != IDENT && p != STRING)
        return fail("a library");
      d.path_begin = tok(at_).begin;
      d.path_end = tok(at_).end;
      d.path = text(at_++);
    }
    if (!expect(COLON, "\":\""))
      return false;
    d.symbol = text(at_);
    if (!expect(IDENT, "a factory name"))
      return false;
    d.function = tok(at_).kind == LPAREN;
    if (d.function || !with_path) {
      if (!expect(LPAREN, "\"(\"") || !expect(RPAREN, "\")\""))
        return false;
    }
    if (tok(at_).kind == ACTIVE || tok(at_).kind == INACTIVE)
      ++at_;
    std::string arguments;
    if (tok(at_).kind == STRING)
      arguments = text(at_++);
    if (services != nullptr)
      services->push_back(Conf_Service{d.line, d.name, std::move(arguments), where_});
    define(d.line, d.name, place == TOP ? CONF_SERVICE : place == STREAM_HEAD ? CONF_STREAM
                                                                                : CONF_MODULE);
    if (with_path)
      dynamics.push_back(std::move(d));
    return true;
  }

  bool static_(bool module)
  {
    ++at_;
    int const line = tok(at_).line;
    std::string name = text(at_);
    if (!expect(IDENT, "a service name"))
      return false;
    std::string arguments;
    if (tok(at_).kind == STRING)
      arguments = text(at_++);
    if (!module)
      define(line, name, CONF_NONE);
    if (services != nullptr)
      services->push_back(Conf_Service{line, std::move(name), std::move(arguments), where_});
    return true;
  }

  bool stream()
  {
    ++at_;
    int const line = tok(at_).line;
    // Only "stream dynamic" makes a stream; the others name one to work on.
    bool const makes = tok(at_).kind == DYNAMIC;
    if (makes) {
      if (!dynamic(STREAM_HEAD))
        return false;
    } else {
      if (tok(at_).kind == STATIC)
        ++at_;
      name_ = text(at_);
      if (!expect(IDENT, "dynamic, static or a stream's name"))
        return false;
      if (tok(at_ - 2).kind == STATIC && tok(at_).kind == STRING)
        ++at_;
    }
    stream_ = name_;
    if (tok(at_).kind != LBRACE)
      return true;
    int const body_line = tok(at_).line;
    bool modules_defined = false;
    for (++at_; tok(at_).kind != RBRACE;) {
      modules_defined = modules_defined || tok(at_).kind == DYNAMIC;
      if (!entry(true))
        return false;
    }
    ++at_;
    if (!makes && modules_defined)
      problems_.push_back(Conf_Problem{where_, body_line, "stream " + stream_ + ": a module "
                                       "defined in the body of a stream that this directive does "
                                       "not make is never applied"});
    else if (makes && modules_defined && known_.running != 0 &&
             known_.running(stream_) != CONF_NONE)
      unsafe(line, "stream " + stream_ + " runs: the Service Configurator would push its modules "
                   "onto it a second time");
    name_ = stream_;
    return true;
  }

  /// A suspend, resume or remove of module @a name in the body of stream_. ACE acts on it while
  /// it reads it, before the directive's own stream is made: it finds the stream and its
  /// modules among what was in place before.
  void body_names_module(int line, const std::string& name, bool removal)
  {
    // A removal follows the stream's record unchecked; the rest only fail.
    Conf_Kind const k = known_.kind(stream_);
    if (k == CONF_NONE)
      problems_.push_back(Conf_Problem{where_, line, "module " + name + ": stream " + stream_ +
                                       " is not defined before this directive: the Service "
                                       "Configurator " + (removal ? "crashes on it"
                                                                  : "cannot carry it out"),
                                       removal ? CONF_UNSAFE : CONF_ERROR});
    else if (k != CONF_STREAM)
      problems_.push_back(Conf_Problem{where_, line, "module " + name + ": " + stream_ + " is " +
                                       kind_name(k) + ", not a stream: the Service Configurator "
                                       "cannot carry it out"});
    else if (!known_.has_module(stream_, name))
      problems_.push_back(Conf_Problem{where_, line, "module " + name + ": stream " + stream_ +
                                       " holds no such module before this directive"});
  }

  /// Notes that the directive defines @a name as @a kind (CONF_NONE: a static service).
  void define(int line, const std::string& name, Conf_Kind kind)
  {
    if (kind == CONF_MODULE) {
      Conf_Kind const k = known_.kind(name);
      if (k != CONF_NONE && !known_.has_module(stream_, name))
        unsafe(line, "module " + name + ": the name is taken by " + kind_name(k) + ": the "
                     "Service Configurator would take that for the module and crash");
      if (defined_.name == name || modules_[stream_].count(name) != 0)
        problems_.push_back(Conf_Problem{where_, line, "module " + name + " is defined twice in "
                                                       "this stream"});
      modules_[stream_][name] = line;
      return;
    }
    name_ = name;
    auto const d = known_.defined.find(name);
    if (d != known_.defined.end())
      problems_.push_back(Conf_Problem{where_, line, "service " + name + " is defined again: "
                                       "first at " + known_.files[d->second.file] + ":" +
                                       std::to_string(d->second.line) + "; the last one wins and "
                                       "each reload opens the first again"});
    defined_.name = name;
    defined_.line = line;
    defined_.kind = kind == CONF_NONE ? CONF_SERVICE : kind;
  }

  /// The number of where_ in known_.files, given at the text's first definition: a text that
  /// defines nothing adds no name there, and one that does adds it once, not once a definition.
  size_t file()
  {
    if (file_ == SIZE_MAX) {
      file_ = known_.files.size();
      known_.files.push_back(where_);
    }
    return file_;
  }

  void unsafe(int line, const std::string& why)
  {
    problems_.push_back(Conf_Problem{where_, line, why, CONF_UNSAFE});
  }

  bool expect(Kind k, const char* what)
  {
    if (tok(at_).kind != k)
      return fail(what);
    ++at_;
    return true;
  }

  bool fail(const char* expected)
  {
    Token const t = tok(at_);
    std::string const found = text(at_);
    if (t.kind == BAD)
      return false;
    std::string m;
    if (t.kind == END)
      m = std::string("expected ") + expected + " before the end";
    else if (t.kind == STRING)
      m = std::string("expected ") + expected + ", found quoted text \"" + found.substr(0, 40) +
          "\"";
    else
      m = std::string("expected ") + expected + ", found '" + found + "'";
    problems_.push_back(Conf_Problem{where_, t.line, "syntax error: " + m});
    return false;
  }

  void resync()
  {
    if (tok(at_).kind != END)
      ++at_;
    for (; tok(at_).kind != END; ++at_)
      if (tok(at_).kind >= DYNAMIC && tok(at_).kind <= STREAM)
        return;
  }

  /// Token @a i of the text, read as far as it when not yet read.
  Token tok(size_t i)
  {
    if (i >= base_ && i - base_ < t_.size())  // most calls, a few instructions inline
      return t_[i - base_];
    return read_to(i);
  }

  /// tok() for a token not read yet; out of line, so that tok() stays small enough to inline.
  [[gnu::noinline]] Token read_to(size_t i)
  {
    if (i < base_)  // never asked for: the reader looks back within a directive only
      return Token{END, 0, 0, 0};
    while (i - base_ >= t_.size())
      t_.push_back(lexer_.next());
    return t_[i - base_];
  }

  /// The text of token @a i: a quoted text without its quotes.
  std::string text(size_t i) { return std::string(text_view(i)); }

  /// text(), in the source.
  std::string_view text_view(size_t i)
  {
    Token const t = tok(i);
    if (t.kind == STRING)
      return std::string_view(source_).substr(t.begin + 1, t.end - t.begin - 2);
    return std::string_view(source_).substr(t.begin, t.end - t.begin);
  }

  const std::string& source_;
  Lexer lexer_;
  std::vector<Token> t_;  ///< the tokens from the current directive's first on
  size_t base_ = 0;       ///< the number of the first of them
  size_t at_ = 0;
  const std::string& where_;
  std::vector<Conf_Problem>& problems_;
  Conf_Known& known_;
  std::string name_;    ///< the service the directive names
  std::string stream_;  ///< the stream whose body is read
  /// What the directive defines, when its name is not empty: a directive defines one service
  /// or stream at most (a stream's modules are in modules_).
  struct
  {
    std::string name;
    int line = 0;
    Conf_Kind kind = CONF_NONE;
  } defined_;
  size_t file_ = SIZE_MAX;  ///< where_'s number in known_.files, once it has one
  std::map<std::string, std::map<std::string, int>> modules_;  ///< by the directive, per stream
  std::vector<std::string> removed_;
};

}  // namespace

Conf_Kind Conf_Known::kind(const std::string& name) const
{
  auto const d = defined.find(name);
  if (d != defined.end())
    return d->second.kind;
  return running != 0 ? running(name) : CONF_NONE;
}

bool Conf_Known::has_module(const std::string& stream, const std::string& module) const
{
  auto const m = modules.find(stream);
  if (m != modules.end())
    return m->second.count(module) != 0;
  return running_module != 0 && running_module(stream, module);
}

/// How many directives @a text may hold, for the lists they go to: its lines that hold more
/// than a line end, up to a bound (a list grows past it as it must).
static size_t directives_estimate(const std::string& text)
{
  size_t lines = 0;
  for (size_t at = 0; at < text.size() && lines < 4096;) {
    const void* const nl = std::memchr(text.data() + at, '\n', text.size() - at);
    size_t const end = nl != 0 ? static_cast<size_t>(static_cast<const char*>(nl) - text.data())
                               : text.size();
    lines += end > at ? 1 : 0;
    at = end + 1;
  }
  return lines;
}

/// Room in @a v for @a more, growing as push_back would: a list that many texts add to (a
/// conf directory's files) must not be copied once for each.
template <class T>
static void make_room(std::vector<T>& v, size_t more)
{
  if (v.capacity() - v.size() < more)
    v.reserve(std::max(v.size() + more, 2 * v.capacity()));
}

std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems, Conf_Known* known,
                                          std::vector<Conf_Entry>* entries,
                                          std::vector<Conf_Service>* services)
{
  Conf_Known none;
  size_t const first = problems.size();
  Reader r(text, where, problems, known != 0 ? *known : none);
  // Lists reserved once rather than grown: each growth is memory touched afresh.
  size_t const estimate = directives_estimate(text);
  r.dynamics.reserve(estimate);
  if (entries != 0)
    make_room(*entries, estimate);
  if (services != 0)
    make_room(*services, estimate);
  r.services = services;
  size_t const had = entries != 0 ? entries->size() : 0;
  r.read_file(entries);
  // The lexer's problems come first, then the reader's, each in line order.
  problems.insert(problems.begin() + static_cast<std::ptrdiff_t>(first),
                  std::make_move_iterator(r.lexer_problems().begin()),
                  std::make_move_iterator(r.lexer_problems().end()));
  for (size_t i = had; entries != 0 && i < entries->size(); ++i)
    (*entries)[i].where = where;
  std::stable_sort(problems.begin() + static_cast<std::ptrdiff_t>(first), problems.end(),
                   [](const Conf_Problem& a, const Conf_Problem& b) { return a.line < b.line; });
  return std::move(r.dynamics);
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
    if (state_ == CONTENT || std::memchr(p, 0, static_cast<size_t>(stop - p)) != 0)
      text.append(p, static_cast<size_t>(stop - p));
    else if (nl != 0)
      text += '\n';
    if (nl != 0)
      state_ = LINE_START;
    p = stop;
  }
}

std::vector<Conf_Service> read_service_directives(const std::string& text)
{
  std::vector<Conf_Problem> problems;
  std::string const where;  // the reader keeps a reference to it
  Conf_Known none;
  std::vector<Conf_Service> services;
  Reader r(text, where, problems, none);
  r.services = &services;
  r.read_file(nullptr);
  return services;
}
