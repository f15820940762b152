/**
 * @file check.h
 *
 * A check of Service Configurator files that applies nothing: the directive language as ACE's
 * parser reads it (grammar.h), then, for each "dynamic" directive, the library found as ACE's loader finds
 * it and the factory symbol in it. The library is loaded and unloaded again; no service is
 * created. Problems are collected, never logged here; where the language leaves doubt the
 * check accepts, so it never rejects what the Service Configurator would apply.
 */
#ifndef STARTER_CONF_CHECK_H
#define STARTER_CONF_CHECK_H

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "starter/config/conf_files.h"
#include "starter/config/grammar.h"

class Held_Libraries;

/// The Service Configurator's default file, read from the starting directory when no "-f" is
/// given at all.
static const char CONF_DEFAULT_FILE[] = "svc.conf";

/// "WHERE:LINE: message", or "WHERE: message" for line 0; "WHERE: cannot be read: why" for a
/// file that cannot be read.
std::string format_problem(const Conf_Problem& p);

/// Each of @a problems as format_problem() says it, in order: the messages of a control answer.
std::vector<std::string> problem_messages(const std::vector<Conf_Problem>& problems);

/// Checks directive text @a text that came from @a where. With @a load, each "dynamic"
/// directive's library is loaded and its factory looked up. Appends to @a problems.
void check_directives(const std::string& text, const std::string& where, bool load,
                      std::vector<Conf_Problem>& problems);

/// Checks the configuration file @a path: a regular, readable file (never opened in a way that
/// could block, so FIFOs and devices are reported, not read), then its directives.
void check_conf_file(const std::string& path, bool load, std::vector<Conf_Problem>& problems);

/// The text of each file a check read whole, by path, as Directive_Text keeps it.
typedef std::unordered_map<std::string, std::string> Conf_Texts;

/// Checks each of @a files in order and each of the "-S" @a directives against what runs in
/// this process, the libraries of all of them held until the whole check ends, as the
/// Configurator holds them. A library named by a relative path is taken against @a base_dir
/// (when not empty): the text is rewritten to name it absolutely, and that text is what is
/// checked. When @a texts is not null, adds to it the text of each file read whole. With
/// @a held, the libraries stay loaded until @a held lets them go; with @a entries, each sound
/// directive of the files is appended there (its place in the text in @a texts), and with
/// @a services, each service the files' directives name.
void check_files_and_directives(const std::vector<std::string>& files,
                                const std::vector<std::string>& directives,
                                std::vector<Conf_Problem>& problems, Conf_Texts* texts = nullptr,
                                const std::string& base_dir = std::string(),
                                Held_Libraries* held = nullptr,
                                std::vector<Conf_Entry>* entries = nullptr,
                                std::vector<Conf_Service>* services = nullptr);

#endif /* STARTER_CONF_CHECK_H */
