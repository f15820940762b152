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
#include <utility>
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

/// Reads the directives in @a text, which came from @a where: appends one problem per
/// directive the Service Configurator would reject (then reads on at the next directive), and
/// returns the "dynamic" directives that name a library, in order.
std::vector<Conf_Dynamic> read_directives(const std::string& text, const std::string& where,
                                          std::vector<Conf_Problem>& problems);

/**
 * The text of a configuration file as the check keeps it, built from the file's bytes fed in
 * chunks of any size: each line that holds only blanks and a comment is cut to its line end,
 * and the blanks that open a line are left out. The directives stay on their lines, and the
 * Service Configurator reads the same directives from it as from the file (it starts every
 * line afresh), so a file of comments costs a byte a line to keep and to hand over.
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

/// A byte range [first, second) of a text.
typedef std::pair<size_t, size_t> Text_Span;

/**
 * The pieces in which the Service Configurator can be handed @a text, one after the other, to
 * apply what it applies for the whole while reading each byte once (its reader reads a text
 * handed to it again from the position reached for each 4 KB it takes in): runs of whole
 * directives of at most @a piece_size bytes (a longer directive stands alone), in order, the
 * blanks and comments between two runs left out. A text in which the reading finds a problem
 * is one piece, whole, so that the Configurator meets the problem as it would, its line
 * numbers too; from the last directive before a word the reading is unsure of to the end is
 * one piece. A text of blanks and comments alone has no pieces.
 */
std::vector<Text_Span> directive_pieces(const std::string& text, size_t piece_size);

#endif /* STARTER_CONF_GRAMMAR_H */
