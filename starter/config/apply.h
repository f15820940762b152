/**
 * @file apply.h
 *
 * The Service Configurator applying a checked configuration (pipeline.h), at start-up and on
 * each reload: each file handed over as the text the check read, so that what is applied is
 * what was checked, directive by directive, and the Configurator's own rules kept: the files
 * in order, then the "-S" directives, and a file that could not be read stops both. Each
 * directive that fails is logged here with its file, line, service and reason.
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

/// Has the Service Configurator carry out the directives of @a text, which came from @a where,
/// one at a time, so that each error is logged (LM_ERROR) with its line, service and reason,
/// an exception a service throws as it opens among them. Returns the count of errors.
int apply_text(const std::string& where, const std::string& text);

/// Has the Service Configurator carry out the one directive @a e of the file text in
/// @a texts, as apply_text() does each. Returns the count of errors (1 when the text is gone).
int apply_directive(const Conf_Entry& e, const Conf_Texts& texts);

#endif /* STARTER_CONFIG_APPLY_H */
