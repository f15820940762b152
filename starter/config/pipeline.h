/**
 * @file pipeline.h
 *
 * The one path from the host's command line to a checked configuration: assemble the Service
 * Configurator's vector (assemble.h), decide which files it reads, check them (check.h) and
 * leave out a conf-directory file that cannot be read, or any the Configurator would crash on. --check, the start-up and each reload
 * all come through here; what they do with the result (print, log, apply) is theirs. Nothing
 * is logged here but a word too long to substitute (assemble.h). The command line is not read
 * again: the words kept in the source are assembled anew.
 */
#ifndef STARTER_CONFIG_PIPELINE_H
#define STARTER_CONFIG_PIPELINE_H

#include <memory>
#include <string>
#include <vector>

#include "starter/config/assemble.h"
#include "starter/config/check.h"
#include "starter/config/libraries.h"

/// The words a configuration is assembled from, kept for each reload.
struct Config_Source
{
  std::string program;           ///< the host's program path, the vector's first element
  std::vector<Conf_Word> words;  ///< the Service Configurator's options on the command line
  std::string base_dir;   ///< relative paths are taken against it; empty for the working directory
  bool strict = false;    ///< warnings count as errors (--strict)
};

/// The Service Configurator's vector taken apart.
struct Vector_Parts
{
  std::vector<std::string> options;     ///< the program path and the options but "-f" and "-S"
  std::vector<std::string> files;       ///< the files to read, in order
  std::vector<std::string> directives;  ///< the "-S" directives, in order
};

/// A configuration assembled and checked: what the Service Configurator is handed.
struct Checked_Config
{
  std::vector<std::string> vector;     ///< the Configurator's vector, less the files left out
  Vector_Parts parts;                  ///< @a vector taken apart, the default file decided
  Conf_Texts texts;                    ///< the text of each file read whole, by path
  std::vector<Conf_Problem> problems;  ///< every problem, a left-out file's saying so
  int errors = 0;                      ///< the problems that count: warnings only when strict
  std::vector<std::string> empty_dirs; ///< conf directories named that hold no file
  std::vector<Named_File> named;       ///< the "-f" words, and the paths they name
  std::vector<Conf_Entry> entries;     ///< the files' directives, in the order they are applied
  std::vector<Conf_Service> services;  ///< the services the files' directives name, in order
  /// The libraries the check loaded, held until the apply has opened the services using them.
  std::shared_ptr<Held_Libraries> libraries;
};

/**
 * Assembles the vector for @a source (conf directories expanded anew) into @a out and checks
 * each file it names, in order, and with @a directives (at start-up) each "-S" directive.
 * Without any "-f" the Configurator's default file in the starting directory is named, when it
 * exists, like any other; a conf directory with no files means no services. Each entry of a
 * conf directory that is no regular file is a warning. A library named by a relative path is
 * taken against the starting directory. At start-up, a file of a conf directory that cannot be
 * read is left out of the vector, so that it does not stop the Configurator before the files
 * after it, and so is any file or "-S" directive the Configurator would crash or hang on.
 */
void assemble_and_check(const Config_Source& source, bool directives, Checked_Config& out);

/// Takes the assembled vector @a v apart (each option a word of its own, its argument the next).
Vector_Parts split_vector(const std::vector<std::string>& v);

/// Whether problem @a p counts as an error: always, unless it is a warning and not @a strict.
inline bool counts_as_error(const Conf_Problem& p, bool strict)
{
  return p.kind != CONF_WARNING || strict;
}

#endif /* STARTER_CONFIG_PIPELINE_H */
