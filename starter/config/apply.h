/**
 * @file apply.h
 *
 * The Service Configurator applying a checked configuration (pipeline.h), at start-up and on
 * each reload: each file handed over as the text the check read, so that what is applied is
 * what was checked, and the Configurator's own rules kept: the files in order, then the "-S"
 * directives, and a file that could not be read stops both. Nothing is logged here; the
 * Configurator logs what it finds in the services.
 */
#ifndef STARTER_CONFIG_APPLY_H
#define STARTER_CONFIG_APPLY_H

#include <string>
#include <vector>

#include "starter/config/pipeline.h"

/// Opens the Service Configurator with @a config's options, then has it process the files and
/// the "-S" directives. Returns the count of errors it reports, or -1 when it stopped at a file
/// that has no text in @a config.
int open_service_config_vector(const Checked_Config& config);

/// Has the Service Configurator process @a config's files in order, each as its text (the
/// "-S" directives are not applied again, as the Configurator's own reload does not). Returns
/// the errors it reports, or -1 when it stopped at a file that has no text.
int process_service_config_files(const Checked_Config& config);

/// Has the Service Configurator carry out the one directive @a e of the file text in @a texts,
/// its line numbers kept. False when it reports an error or the text is gone.
bool apply_directive(const Conf_Entry& e, const Conf_Texts& texts);

/// Finalises the service @a name and takes it out of the Service Repository; false when there
/// is none.
bool remove_service(const std::string& name);

/// The number of services in the Service Repository that are active.
int open_service_count();

/// Finalises the services and closes the Service Configurator.
void close_services();

#endif /* STARTER_CONFIG_APPLY_H */
