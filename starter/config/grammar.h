/**
 * @file grammar.h
 *
 * The Service Configurator's directive language, read as ACE's own lexer and parser read it,
 * quirks included: the check accepts all they carry out as written, and rejects what they
 * would misread, drop, or crash on. Reading applies nothing; problems are collected, never
 * logged.
 */
#ifndef STARTER_CONF_GRAMMAR_H
#define STARTER_CONF_GRAMMAR_H

#include <map>
#include <set>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

/// What kind of problem a Conf_Problem is.
enum Conf_Problem_Kind {
  CONF_ERROR,       ///< a directive or a library that is wrong
  CONF_UNREADABLE,  ///< a file that cannot be read (line 0); the message says why
  CONF_UNSAFE,      ///< what the Service Configurator would crash or hang on, or read otherwise
                    ///< than the check did: the text that holds it is never applied
  CONF_WARNING      ///< a problem only under --strict
};

/// One problem: where (a file, or "-S" for a command-line directive), the line (0 when it
/// concerns the whole file), what is wrong and its kind. Its text is format_problem()'s (check.h).
struct Conf_Problem
{
  std::string where;
  int line;
  std::string message;
  Conf_Problem_Kind kind = CONF_ERROR;
};

/// A "dynamic" directive that names a library: where its factory is to be found.
struct Conf_Dynamic
{
  int line;
  std::string name;    ///< the service's name
  std::string path;    ///< the library, as written (quotes taken off)
  std::string symbol;  ///< the factory's name
  bool function;       ///< "symbol()": a factory function, else an object
  size_t path_begin = 0;  ///< where the library's token starts in the text
  size_t path_end = 0;    ///< and where it ends
};

/// One directive of a text, as the Service Configurator carries it out on its own.
struct Conf_Entry
{
  int line;            ///< of its keyword
  size_t begin;        ///< its first byte in the text
  size_t end;          ///< one past its last byte
  std::string keyword; ///< "dynamic", "static", "suspend", "resume", "remove" or "stream"
  std::string name;    ///< the service (or stream) it names
  /// For "dynamic" and "stream dynamic": the service's library as written, else empty.
  std::string library = std::string();
  /// Its words one blank apart, comments and line breaks left out, quoted text in double
  /// quotes: two directives the Configurator reads alike read alike here. What a reload
  /// compares with the directive that opened the running service.
  std::string normal = std::string();
  std::string where = std::string();  ///< the file it came from
};

/// A directive that names a service ("dynamic" or "static", a stream's modules included).
struct Conf_Service
{
  int line;               ///< the line of its name
  std::string name;
  std::string arguments;  ///< the quoted text handed to its init(), quotes taken off
  std::string where = std::string();  ///< the file it came from, when read by the check
};

/// The kinds of service the Configurator holds.
enum Conf_Kind { CONF_NONE, CONF_SERVICE, CONF_MODULE, CONF_STREAM };

/// What is in place as a configuration is read: the services its earlier directives define
/// (with where), and, through the hooks, those that run. A stream's body may only name
/// streams and modules that are in place before the directive starts, as ACE's parser acts on
/// them while it reads.
struct Conf_Known
{
  struct Defined
  {
    size_t file;  ///< where: its number in files
    int line;
    Conf_Kind kind;
  };
  std::vector<std::string> files;  ///< where the definitions came from, each once
  std::unordered_map<std::string, Defined> defined;
  std::map<std::string, std::set<std::string>> modules;  ///< a defined stream's modules
  /// The kind of the running service @a name; null when nothing runs.
  Conf_Kind (*running)(const std::string& name) = nullptr;
  /// Whether the running stream @a stream holds the module @a module.
  bool (*running_module)(const std::string& stream, const std::string& module) = nullptr;

  Conf_Kind kind(const std::string& name) const;
  bool has_module(const std::string& stream, const std::string& module) const;
};

/// Reads the directives in @a text, which came from @a where: appends one problem per
/// directive the Service Configurator would reject, misread or crash on (then reads on at the
/// next directive), and returns the "dynamic" directives that name a library, in order. With
/// @a known, the directives are read against what is in place, which they then add to; with
/// @a entries, each sound directive is appended there; with @a services, each service a
/// directive names (as read_service_directives() gives them).
std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems,
                                          Conf_Known* known = nullptr,
                                          std::vector<Conf_Entry>* entries = nullptr,
                                          std::vector<Conf_Service>* services = nullptr);

/**
 * The text of a configuration file as the check keeps it, built from the file's bytes fed in
 * chunks of any size: each line that holds only blanks and a comment is cut to its line end,
 * and the blanks that open a line are left out. The directives stay on their lines, and the
 * Service Configurator reads the same directives from it as from the file (it starts every
 * line afresh), so a file of comments costs a byte a line to keep and to hand over. A comment
 * that holds a NUL byte is kept, for the check to find it.
 */
class Directive_Text
{
public:
  /// Adds the next @a n bytes of the file at @a p.
  void add(const char* p, size_t n);

  /// The text so far; take it with std::move once the file is read.
  std::string text;

private:
  enum State { LINE_START, COMMENT, CONTENT };
  State state_ = LINE_START;
};

/// The longest word, or quoted text up to the end of its line, that ACE's reader takes whole:
/// at a longer one its buffer is full and it reads the end of the input.
static const size_t CONF_MAX_TOKEN = 4095;

/// The service directives in @a text, in order, read as read_directives() reads them; a
/// directive it finds wrong is left out.
std::vector<Conf_Service> read_service_directives(const std::string& text);

#endif /* STARTER_CONF_GRAMMAR_H */
