/**
 * @file apply.h
 *
 * The Service Configurator applying a checked configuration (pipeline.h), at start-up and on
 * each reload: each file handed over as the text the check read, so that what is applied is
 * what was checked, and the Configurator's own rules kept: the files in order, then the "-S"
 * directives, and a file that could not be read stops both. A text's run of "dynamic"
 * directives goes in one call where the executable marks which service opens (below); each
 * directive that fails is logged here with its file, line, service and reason.
 */
#ifndef STARTER_CONFIG_APPLY_H
#define STARTER_CONFIG_APPLY_H

#include <string>
#include <vector>

#include "starter/config/pipeline.h"

class ACE_Service_Type;

/// A directive that did not open its service, as logged: "FILE:LINE" and why.
struct Open_Failure
{
  std::string name;
  std::string site;
  std::string why;
};
typedef std::vector<Open_Failure> Open_Failures;

/// Opens the Service Configurator with @a config's options, then has it process the files and
/// the "-S" directives. Returns the count of errors it reports, or -1 when it stopped at a file
/// that has no text in @a config.
int open_service_config_vector(const Checked_Config& config, Open_Failures* failures = nullptr);

/// Has the Service Configurator process @a config's files in order, each as its text (the
/// "-S" directives are not applied again, as the Configurator's own reload does not). Returns
/// the errors it reports, or -1 when it stopped at a file that has no text.
int process_service_config_files(const Checked_Config& config,
                                 Open_Failures* failures = nullptr);

/// Has the Service Configurator carry out the directives of @a text, which came from @a where,
/// in order, so that each error is logged (LM_ERROR) with its line, service and reason,
/// an exception a service throws as it opens among them, and each service that did not open
/// added to @a failures. The fini of a service a directive replaces or removes is called
/// first, an exception it throws counted as an error (config/finalise.h). Returns the count
/// of errors.
int apply_text(const std::string& where, const std::string& text,
               Open_Failures* failures = nullptr);

/// Has the Service Configurator carry out the one directive @a e of the file text in
/// @a texts, as apply_text() does each. Returns the count of errors (1 when the text is gone).
int apply_directive(const Conf_Entry& e, const Conf_Texts& texts,
                    Open_Failures* failures = nullptr);

/// The marks of the executable's hooks on ACE's placeholder for a dynamic service: from the
/// first, a run of "dynamic" directives is handed to ACE in one text, and each mark tells the
/// host which service opens (its listening sockets, threads, stop signals and a death are held
/// in its name). Without them, each directive is handed on its own.
void note_opening_marks();

/// ACE has made the placeholder of the dynamic service @a name: its library, factory and init
/// come next, on the calling thread.
void dynamic_service_opening(const char* name);

/// ACE is done with the placeholder of the service the last dynamic_service_opening() named
/// on this thread (opened, failed, or left by an exception).
void dynamic_service_opened();

#endif /* STARTER_CONFIG_APPLY_H */
