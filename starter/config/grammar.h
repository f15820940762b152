/**
 * @file grammar.h
 *
 * The Service Configurator's directive language, read as ACE's own lexer and parser read it,
 * quirks included: the check must accept all they accept. Reading applies nothing; problems
 * are collected, never logged.
 */
#ifndef STARTER_CONF_GRAMMAR_H
#define STARTER_CONF_GRAMMAR_H

#include <string>
#include <vector>

/// One problem: where (a file, or "-S" for a command-line directive), the line (0 when it
/// concerns the whole file) and what is wrong.
struct Conf_Problem
{
  std::string where;
  int line;
  std::string message;
};

/// A "dynamic" directive that names a library: where its factory is to be found.
struct Conf_Dynamic
{
  int line;
  std::string name;    ///< the service's name
  std::string path;    ///< the library, as written (quotes taken off)
  std::string symbol;  ///< the factory's name
  bool function;       ///< "symbol()": a factory function, else an object
};

/// One directive of a text, as the Service Configurator carries it out on its own: what a
/// reload compares with the directive that opened the running service.
struct Conf_Entry
{
  std::string where;    ///< the file it came from
  int line;             ///< of its keyword
  size_t begin;         ///< its first byte in the text
  size_t end;           ///< one past its last byte
  std::string keyword;  ///< "dynamic", "static", "suspend", "resume", "remove" or "stream"
  std::string name;     ///< the service (or stream) it names
  /// For "dynamic" and "stream dynamic": the service's library as written, else empty.
  std::string library;
  /// Its words one blank apart, comments and line breaks left out, quoted text as written:
  /// two directives the Configurator reads alike read alike here.
  std::string normal;
};

/// Reads the directives in @a text, which came from @a where: appends one problem per
/// directive the Service Configurator would reject (then reads on at the next directive), and
/// returns the "dynamic" directives that name a library, in order. With @a entries, each
/// sound directive is appended there.
std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems,
                                          std::vector<Conf_Entry>* entries = nullptr);

#endif /* STARTER_CONF_GRAMMAR_H */
