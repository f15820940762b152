/**
 * @file reload.h
 *
 * The reload of the services' configuration: check the configuration the command line names
 * now, apply it only when the check finds nothing, and say how it went. It computes and
 * returns the outcome and logs nothing of it; its caller (the host, with the loop quiesced)
 * logs it, puts back the signal dispositions and tells systemd.
 */
#ifndef STARTER_RELOAD_H
#define STARTER_RELOAD_H

#include <string>
#include <vector>

#include "starter/config/pipeline.h"

/// What a reload did.
struct Reload_Outcome
{
  Checked_Config config;  ///< what the check found
  bool applied = false;   ///< the Configurator applied the configuration (the check passed)
  bool stopped = false;   ///< applied, and the Configurator stopped at a file it could not read
  int errors = 0;         ///< the check's errors when not applied, else the Configurator's
  int open = 0;           ///< the services open afterwards, when applied
  /// One line, no newline: "Reload refused: N errors; the running services are unchanged",
  /// "Reloaded: N services open" or "Reloaded with N errors: M services open".
  std::string summary;
};

/// Checks the configuration @a source names now (conf directories read anew; the "-S"
/// directives are neither checked nor applied again, as the Configurator's own reload does
/// not), then, only when the check finds nothing, has the Service Configurator apply the text
/// that was checked. The outcome is a success exactly when it is applied with no errors.
Reload_Outcome reload_services(const Config_Source& source);

#endif /* STARTER_RELOAD_H */
