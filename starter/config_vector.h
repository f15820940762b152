/**
 * @file config_vector.h
 *
 * The Service Configurator's vector as the host hands it over, at start-up and on each reload:
 * assembled from the command line (conf directories expanded anew each time), checked, less
 * the files of a conf directory that cannot be read, and each file handed over as the text the
 * check read, so that what is applied is what was checked.
 */
#ifndef STARTER_CONFIG_VECTOR_H
#define STARTER_CONFIG_VECTOR_H

#include <string>
#include <vector>

#include "starter/conf_check.h"

/**
 * Remembers the host's command line @a argc / @a argv (which must outlive the process's use of
 * it) and the directory @a base_dir it started in (relative paths are taken against it; null or
 * empty for the working directory) for the reloads, then checks every file and "-S" directive
 * the Service Configurator will get (check_service_config_now()), logging each problem at
 * LM_ERROR, and leaves that vector in @a v and the text of each file read in @a texts: what the
 * services open with. Returns false, after an LM_ERROR naming the count, when there are
 * problems and @a strict is set: the host must then stop.
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

/**
 * Assembles the vector for the remembered command line (see above; conf directories expanded
 * anew) into @a v and checks what it names, the "-S" directives too with @a directives. The
 * text of each file read goes into @a texts and each problem into @a problems; a file of a conf
 * directory that cannot be read is left out of @a v, its problem saying so. Returns the count
 * of the other problems. Only what assembling the vector finds is logged here.
 */
int check_service_config_now(bool directives, std::vector<std::string>& v, Conf_Texts& texts,
                             std::vector<Conf_Problem>& problems);

/// Has the Service Configurator process @a files in order, each as its text in @a texts (see
/// open_service_config_vector()). Returns the errors it reports, or -1 when it stopped at a
/// file that has no text there.
int process_service_config_files(const std::vector<std::string>& files, const Conf_Texts& texts);

/// Has the Service Configurator apply the text @a text of a configuration file (no NUL in it)
/// as it applies the file: handed over in the pieces directive_pieces() makes, so that it reads
/// each byte once. Returns the errors it reports.
int process_service_config_text(const std::string& text);

/// A null-terminated pointer vector over @a v, valid while @a v is unchanged.
std::vector<char*> pointer_vector(std::vector<std::string>& v);

/// Logs each of @a problems at LM_ERROR as "FILE:LINE: message"; returns their count.
int log_conf_problems(const std::vector<Conf_Problem>& problems);

#endif /* STARTER_CONFIG_VECTOR_H */
