/**
 * @file operator_options.h
 *
 * The host's options for operators: --help, --version, --reload-wait and --check answer and
 * exit without starting anything; --strict makes a failed opening of the services stop the
 * host; --quiet makes --check write its errors only. They are long options recognised wherever
 * they stand, and never reach the Service Configurator.
 */
#ifndef STARTER_OPERATOR_OPTIONS_H
#define STARTER_OPERATOR_OPTIONS_H

struct Operator_Options
{
  bool help = false;
  bool version = false;
  bool check = false;
  const char* reload_wait = nullptr;  ///< "--reload-wait": the pid file of the host to reload
  bool strict = false;
  bool quiet = false;  ///< --check writes errors only
};

struct Command_Line;

/// Carries out --help, --version, --reload-wait or --check (on @a line), in that order of
/// precedence. Returns the exit status for main, or -1 when none of them was given and the
/// host is to start.
int run_operator_options(const Command_Line& line);

#endif /* STARTER_OPERATOR_OPTIONS_H */
