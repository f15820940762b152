// Fuzz target: the configuration check's reading of directives. The input drives a generator of
// text the Service Configurator accepts (every directive form the host carries out, blanks,
// comments, directives split over lines and sharing them, both quotes): the check must report
// no problem and find every "dynamic" library with its line. The raw bytes are read too: never
// a crash, and every line named lies within the text; and where the check accepts raw text of
// "suspend", "resume" and "remove" directives, ACE's own parser must read each of them (each
// fails here, as nothing runs, so one it dropped or misread shows as an error missing).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_string.h>
#include <ace/Service_Config.h>

#include "starter/config/grammar.h"

namespace {

/// Counts ACE's records of what its parser could not read, which its error count leaves out,
/// and keeps them off standard error.
struct Parse_Errors : ACE_Log_Msg_Callback
{
  Parse_Errors()
  {
    ACE_Log_Msg* const m = ACE_Log_Msg::instance();
    m->msg_callback(this);
    m->set_flags(ACE_Log_Msg::MSG_CALLBACK);
    m->clr_flags(ACE_Log_Msg::STDERR);
  }
  void log(ACE_Log_Record& r) override
  {
    if (ACE_OS::strstr(r.msg_data(), "] on line ") != 0)
      ++count;
  }
  int count = 0;
};

/// ACE's count of errors for @a text, or -1 when its parser could not read some of it.
int ace_errors(const std::string& text)
{
  static Parse_Errors* const parse = new Parse_Errors;
  parse->count = 0;
  int const r = ACE_Service_Config::process_directive(text.c_str());
  return parse->count == 0 ? r : -1;
}

/// Reads the fuzz input a byte at a time; past its end every byte is 0.
struct Input
{
  const uint8_t* p;
  size_t left;
  uint8_t byte() { return left > 0 ? (--left, *p++) : 0; }
  std::string word(size_t min, size_t max, const char* alphabet)
  {
    std::string w;
    for (size_t n = min + byte() % (max - min + 1); w.size() < n;)
      w += alphabet[byte() % std::char_traits<char>::length(alphabet)];
    return w;
  }
};

/// Builds the text token by token, keeping the Configurator's lexer in mind: words need a blank
/// between them and strings, a comment only follows a blank, and a string's quote may not come
/// again on its line (the string would run to it).
struct Text
{
  explicit Text(Input& i) : in(i) {}

  Input& in;
  std::string s;
  int line = 1;
  int defined = 0;  ///< names defined so far: each definition's name is new
  enum { NONE, WORD, SINGLE } last = NONE;
  std::string quotes_on_line;

  void blanks(bool needed)
  {
    for (int n = in.byte() % 4 + (needed ? 1 : 0), i = 0; i < n; ++i) {
      uint8_t const b = in.byte() % 8;
      if (b == 7 && i > 0)
        s += "# " + in.word(0, 12, "ab #:{}()*z09") + "\n";
      else
        s += " \t\r\n   "[b % 7];
      if (s.back() == '\n')
        ++line, quotes_on_line.clear();
    }
  }
  void word(const std::string& w) { blanks(last == WORD); s += w; last = WORD; }
  void single(char c) { blanks(false); s += c; last = SINGLE; }
  /// A quoted string; returns its text without the quotes.
  std::string string(const char* alphabet)
  {
    blanks(last != NONE);
    char const q = in.byte() % 2 ? '"' : '\'';
    if (quotes_on_line.find(q) != std::string::npos)
      s += '\n', ++line, quotes_on_line.clear();
    quotes_on_line += q;
    std::string const body = in.word(0, 16, alphabet);
    s += q + body + q;
    last = WORD;
    return body;
  }
};

const char* const keywords[] = {"dynamic", "static", "suspend", "resume", "remove", "stream",
                                "Module", "Service_Object", "STREAM", "active", "inactive"};

std::string ident(Input& in)
{
  std::string w = in.word(1, 1, "ABMSTXabmstx_") + in.word(0, 8, "AZaz09_mn");
  for (const char* k : keywords)
    if (w == k)
      w += '_';
  return w;
}

/// A library as the Configurator reads one: a name, a path, a drive path or a quoted path.
std::string library(Text& t)
{
  const char seg[] = "abz09_-~";
  std::string p;
  switch (t.in.byte() % 6) {
    case 0: p = "lib" + t.in.word(0, 6, "az09_"); break;
    case 1: p = "/" + t.in.word(1, 6, seg) + "/" + t.in.word(1, 6, seg) + ".so"; break;
    case 2: p = (t.in.byte() % 2 ? "./" : "../") + t.in.word(1, 8, seg); break;
    case 3: p = t.in.word(1, 1, "CDcd") + ":" + t.in.word(1, 6, "az09") + ".so"; break;
    case 4: p = t.in.word(1, 1, "09") + t.in.word(0, 6, "az09$~%") + ".so"; break;
    default: return t.string("ab /.-_09");
  }
  t.word(p);
  return p;
}

void dynamic(Text& t, std::vector<Conf_Dynamic>& want)
{
  t.word("dynamic");
  Conf_Dynamic d{t.line, ident(t.in) + std::to_string(t.defined++), "", "", true};
  t.word(d.name);
  d.line = t.line;
  t.word("Service_Object");
  t.single('*');
  bool const with_path = t.in.byte() % 8 != 0;
  if (with_path)
    d.path = library(t);
  t.single(':');
  t.word(d.symbol = ident(t.in));
  d.function = !with_path || t.in.byte() % 3 != 0;
  if (d.function)
    t.single('('), t.single(')');
  if (uint8_t const a = t.in.byte() % 3)
    t.word(a == 1 ? "active" : "inactive");
  if (t.in.byte() % 2)
    t.string("-p 20 xyz/.=,#:{}");
  if (with_path)
    want.push_back(d);
}

void directive(Text& t, std::vector<Conf_Dynamic>& want)
{
  switch (t.in.byte() % 6) {
    case 0: return dynamic(t, want);
    case 1:
      t.word("static"), t.word(ident(t.in) + std::to_string(t.defined++));
      if (t.in.byte() % 2)
        t.string("-d -x 1");
      return;
    case 2: case 3: case 4:
      t.word(keywords[2 + t.in.byte() % 3]), t.word(ident(t.in));
      return;
    default:
      // A stream the host cannot make is named only: with an empty body, if any.
      t.word("stream");
      if (t.in.byte() % 2)
        t.word("static");
      t.word(ident(t.in));
      if (t.in.byte() % 2)
        t.single('{'), t.single('}');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  std::vector<Conf_Problem> problems;
  std::string const raw(reinterpret_cast<const char*>(data), size);
  int lines = 1;
  for (char c : raw)
    lines += c == '\n';  // "the end" is reported on the line after a final newline
  std::vector<Conf_Entry> entries;
  std::vector<Conf_Dynamic> found = read_directives(raw, "raw", problems, nullptr, &entries);
  for (const Conf_Problem& p : problems)
    if (p.line < 1 || p.line > lines)
      std::fprintf(stderr, "line %d of %d: %s\n", p.line, lines, p.message.c_str()), std::abort();
  for (const Conf_Dynamic& d : found)
    if (d.line < 1 || d.line > lines)
      std::abort();
  bool failing_only = problems.empty();
  for (const Conf_Entry& e : entries)
    failing_only = failing_only && (e.keyword == "suspend" || e.keyword == "resume" ||
                                    e.keyword == "remove");
  if (failing_only) {
    int const ace = ace_errors(raw);
    if (ace != static_cast<int>(entries.size())) {
      std::fprintf(stderr, "the check accepts %zu directives, ACE reports %d errors for:\n%s\n",
                   entries.size(), ace, raw.c_str());
      std::abort();
    }
  }

  Input in{data, size};
  Text t{in};
  std::vector<Conf_Dynamic> want;
  for (int i = 0; i < 16 && in.left > 0; ++i)
    directive(t, want);
  t.blanks(false);
  problems.clear();
  found = read_directives(t.s, "gen", problems);
  bool same = found.size() == want.size();
  for (size_t i = 0; same && i < want.size(); ++i)
    same = found[i].line == want[i].line && found[i].name == want[i].name &&
           found[i].path == want[i].path && found[i].symbol == want[i].symbol &&
           found[i].function == want[i].function;
  if (!problems.empty() || !same) {
    std::fprintf(stderr, "text:\n%s\n-- %zu libraries found, %zu written\n", t.s.c_str(),
                 found.size(), want.size());
    for (const Conf_Problem& p : problems)
      std::fprintf(stderr, "%s:%d: %s\n", p.where.c_str(), p.line, p.message.c_str());
    std::abort();
  }
  return 0;
}
