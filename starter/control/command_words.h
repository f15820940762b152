/**
 * @file command_words.h
 *
 * The control commands as a request spells them: one row per command, its word and whether a
 * service name follows it. The host's request parser and its dispatcher (commands.h) and the
 * control client's usage all read this table; a new command is a row here and a handler there.
 */
#ifndef STARTER_CONTROL_COMMAND_WORDS_H
#define STARTER_CONTROL_COMMAND_WORDS_H

#include <cstddef>
#include <cstring>

/// One control command.
struct Control_Command
{
  const char* word;
  bool takes_name;      ///< one service name follows the word
  const char* purpose;  ///< what it does, for the client's usage
};

/// Every command, in the order the usage lists them; "status" first, the request's default.
inline constexpr Control_Command CONTROL_COMMANDS[] = {
    {"status", false, "the host and every service it runs"},
    {"reload", false, "reload the configuration and wait for the outcome"},
    {"check", false, "check the configuration as it is now; nothing is applied"},
    {"suspend", true, "suspend one service"},
    {"resume", true, "resume one service"},
    {"restart", true, "finalise one service and open it again from its directive"},
};

/// The command whose word is the @a n bytes at @a word, or null.
inline const Control_Command* find_control_command(const char* word, size_t n)
{
  for (const Control_Command& c : CONTROL_COMMANDS)
    if (std::strlen(c.word) == n && std::memcmp(c.word, word, n) == 0)
      return &c;
  return nullptr;
}

#endif /* STARTER_CONTROL_COMMAND_WORDS_H */
