/**
 * @file config_vector.h
 *
 * The Service Configurator's vector as the host hands it over, at start-up and on each reload:
 * assembled from the command line (conf directories expanded anew each time), less the files
 * of a conf directory that cannot be read. Also the start-up check of what the vector names.
 */
#ifndef STARTER_CONFIG_VECTOR_H
#define STARTER_CONFIG_VECTOR_H

#include <string>
#include <vector>

#include "starter/conf_check.h"

/**
 * Remembers the host's command line @a argc / @a argv (which must outlive the process's use
 * of it) and the directory @a base_dir it started in (relative paths are taken against it; null
 * or empty for the working directory) for the reloads, then checks every file and "-S" directive the Service Configurator
 * will get, logging each problem at LM_ERROR, and leaves that vector in @a v and the text of
 * each file read in @a texts (what the services open with). Returns false, after an LM_ERROR naming the
 * count, when there are problems and @a strict is set: the host must then stop.
 */
bool check_service_config_at_start_up(int argc, char** argv, const char* base_dir, bool strict,
                                      std::vector<std::string>& v, Conf_Texts& texts);

/**
 * Opens the services of the vector @a v through the Service Configurator, handing it each "-f"
 * file as the text in @a texts that the start-up check read, so that each file is read once.
 * The Configurator's own rules hold: the files in order, then the "-S" directives, and a file
 * that could not be read stops both. Returns the count of errors the Configurator reports, or
 * -1 when it stopped at such a file.
 */
int open_service_config_vector(std::vector<std::string>& v, const Conf_Texts& texts);

/// The vector for the remembered command line (see above), less what
/// drop_unreadable_dir_entries() leaves out; empty when no command line was remembered.
std::vector<std::string> assemble_service_config(std::vector<Conf_Problem>* dropped);

/// Leaves out of the vector @a v (@a n elements) the "-f" files that came from expanding a conf
/// directory of the remembered command line and cannot be read now; each is added to
/// @a dropped when that is not null.
std::vector<std::string> drop_unreadable_dir_entries(int n, char** v,
                                                     std::vector<Conf_Problem>* dropped);

/// A null-terminated pointer vector over @a v, valid while @a v is unchanged.
std::vector<char*> pointer_vector(std::vector<std::string>& v);

/// Logs each of @a problems at LM_ERROR as "FILE:LINE: message"; returns their count.
int log_conf_problems(const std::vector<Conf_Problem>& problems);

#endif /* STARTER_CONFIG_VECTOR_H */
