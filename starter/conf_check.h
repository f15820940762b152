/**
 * @file conf_check.h
 *
 * A check of Service Configurator files that applies nothing: the directive language as ACE's
 * parser reads it (conf_grammar.h), then, for each "dynamic" directive, the library found as ACE's loader finds
 * it and the factory symbol in it. The library is loaded and unloaded again; no service is
 * created. Problems are collected, never logged here; where the language leaves doubt the
 * check accepts, so it never rejects what the Service Configurator would apply.
 */
#ifndef STARTER_CONF_CHECK_H
#define STARTER_CONF_CHECK_H

#include <map>
#include <string>
#include <vector>

#include "starter/conf_grammar.h"

/// "WHERE:LINE: message", or "WHERE: message" for line 0.
std::string format_problem(const Conf_Problem& p);

/// Checks directive text @a text that came from @a where. With @a load, each "dynamic"
/// directive's library is loaded and its factory looked up. Appends to @a problems.
void check_directives(const std::string& text, const std::string& where, bool load,
                      std::vector<Conf_Problem>& problems);

/// Checks the configuration file @a path: a regular, readable file (never opened in a way that
/// could block, so FIFOs and devices are reported, not read), then its directives.
void check_conf_file(const std::string& path, bool load, std::vector<Conf_Problem>& problems);

/// The text of each file a check read whole, by path, as Directive_Text keeps it.
typedef std::map<std::string, std::string> Conf_Texts;

/// Checks what the Service Configurator's vector @a argc / @a argv (argv[0] a program name)
/// names: each "-f" file in order and, with @a directives, each "-S" directive. Without any
/// "-f", the default file "svc.conf" when it exists. Returns the files to process, in order;
/// when @a texts is not null, adds to it the text of each file read whole.
std::vector<std::string> check_service_config_vector(int argc, char** argv, bool directives,
                                                     std::vector<Conf_Problem>& problems,
                                                     Conf_Texts* texts = nullptr);

#endif /* STARTER_CONF_CHECK_H */
