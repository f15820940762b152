/**
 * @file command_line.h
 *
 * The host's command line, read once: its long options (the operators' and the host's own),
 * and the Service Configurator's short options with their arguments, in order. Everything the
 * host does with its command line (--check, the start-up, each reload, the control socket's
 * record) takes this value; nothing after it reads argv.
 */
#ifndef STARTER_COMMAND_LINE_H
#define STARTER_COMMAND_LINE_H

#include <string>
#include <vector>

#include "starter/config/assemble.h"
#include "starter/host_options.h"
#include "starter/operator_options.h"

struct Command_Line
{
  std::string program;                ///< argv[0]
  Operator_Options operators;
  Host_Options host;                  ///< as written; resolve_host_options() completes it
  std::vector<Conf_Word> conf_words;  ///< the Service Configurator's options, in order
  std::vector<std::string> problems;  ///< words read as nothing, one line each, no newline
};

/**
 * Reads @a argc / @a argv (only read; argv[0] is the program): long options wherever they
 * stand, each with its argument; the Service Configurator's options ("-b", "-d", "-f PATH",
 * "-k KEY", "-n", "-p FILE", "-s SIGNO", "-S DIRECTIVE", "-y"), each with its argument, into
 * conf_words; "-b" also sets host.background, the last "-p" and "-s" host.pid_file_word and
 * host.reconfig_signal_word. "--" ends the options. A word that is no option, an unknown option
 * and an option without its argument are noted in problems and otherwise passed over. The
 * strings of @a argv must outlive the value.
 */
Command_Line parse_command_line(int argc, char** argv);

/// Logs each of @a line's problems, at LM_WARNING: the words are ignored, the host runs.
void log_command_line_problems(const Command_Line& line);

#endif /* STARTER_COMMAND_LINE_H */
