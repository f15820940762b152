/**
 * @file check_command.h
 *
 * What --check verifies about the run beyond the configuration files themselves: words the
 * Service Configurator would get mangled or left unsubstituted, and the identity the checks
 * run as. Problems are printed one line each on standard error as "starter: WHAT: PROBLEM",
 * or logged through ACE by the code the run itself uses.
 */
#ifndef STARTER_CHECK_RUN_H
#define STARTER_CHECK_RUN_H

#include <functional>
#include <string>

#include "starter/identity.h"

/// Whether every word of @a argv that goes through environment substitution (the program path
/// and the arguments of the Service Configurator's options) can take it. Logs nothing: the
/// assembly of the vector logs each word that cannot.
bool words_fit_substitution(int argc, char** argv);

/**
 * Checks the "-f" word @a word of the command line: it must make exactly one path after
 * quoting and substitution, and must not still hold an environment reference that names
 * nothing. Sets @a path to the path the Service Configurator's vector holds for it (made
 * absolute against @a base_dir), or clears it for a word that cannot take substitution.
 * Returns false, with one line printed, when there is a problem.
 */
bool check_conf_word(const std::string& word, const char* base_dir, std::string& path);

/**
 * Runs @a check as @a identity (resolved) would run it: in a child process that takes the
 * identity on first, when one is asked for and resolved; in this process otherwise. Returns
 * what @a check returns (0 or 1), or 1 when the child could not take the identity on (logged
 * there, as the run would refuse) or ended otherwise. Standard output is flushed first, so
 * that nothing written before is written twice.
 */
int run_as_identity(const Identity_Request& identity, const std::function<int()>& check);

#endif /* STARTER_CHECK_RUN_H */
