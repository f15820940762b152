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
#include <string>
#include <vector>

/// One problem: where (a file, or "-S" for a command-line directive), the line (0 when it
/// concerns the whole file) and what is wrong. An unsafe problem is one the Service
/// Configurator would crash or hang on, or read otherwise than the check did: the text that
/// holds it is never applied. A warning is a problem only under --strict.
struct Conf_Problem
{
  std::string where;
  int line;
  std::string message;
  bool unsafe = false;
  bool warning = false;
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
    std::string where;
    int line;
    Conf_Kind kind;
  };
  std::map<std::string, Defined> defined;
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
/// @a entries, each sound directive is appended there.
std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems,
                                          Conf_Known* known = nullptr,
                                          std::vector<Conf_Entry>* entries = nullptr);

/// The longest word, or quoted text up to the end of its line, that ACE's reader takes whole:
/// at a longer one its buffer is full and it reads the end of the input.
static const size_t CONF_MAX_TOKEN = 4095;

#endif /* STARTER_CONF_GRAMMAR_H */
