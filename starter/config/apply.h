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

#include <functional>
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
/// one at a time, so that each error is logged (LM_ERROR) with its line, service and reason,
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

/// Finalises the service @a name and takes it out of the Service Repository (nothing when
/// there is none). Returns 1 when its fini threw (logged, config/finalise.h), else 0.
int remove_service(const std::string& name);

/// Calls @a f with each service in the Service Repository, in the repository's order (that of
/// their opening), at a cost linear in their number, where the repository's iterator costs
/// their number squared.
void for_each_service(const std::function<void(const ACE_Service_Type*)>& f);

/// Drops the slots ACE keeps in the Service Repository for services it removed, which each
/// reload adds to and which every lookup pays for. Only while no directive is carried out.
/// Returns the number dropped.
size_t compact_repository();

/// The number of services in the Service Repository that are active.
int open_service_count();

/// Finalises the services, the last opened first as ACE does, and closes the Service
/// Configurator. Each service's fini runs on its own: one that throws is logged (LM_ERROR,
/// with the service's name) and the others are still finalised, where ACE's own loop would
/// stop at it. Returns the number of exceptions caught.
int close_services();

#endif /* STARTER_CONFIG_APPLY_H */
