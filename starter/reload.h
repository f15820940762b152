/**
 * @file reload.h
 *
 * The reload of the services' configuration: check the configuration the command line names
 * now, apply it only when the check finds nothing, and say how it went. It computes and
 * returns the outcome and logs nothing of it; its caller (the host, with the loop quiesced)
 * logs it, puts back the signal dispositions and tells systemd.
 *
 * Two modes. "all" has the Service Configurator carry out every directive again: each service
 * is finalised and opened anew, so its init re-reads whatever it reads. "changed" compares the
 * checked configuration with the running one (config/compare.h) and touches only what changed.
 * In both, a service whose library file holds new code (another inode, size or modification
 * time than the copy loaded) is finalised, the old copy unloaded, and the new one loaded.
 */
#ifndef STARTER_RELOAD_H
#define STARTER_RELOAD_H

#include <set>
#include <string>
#include <vector>

#include "starter/config/libraries.h"
#include "starter/config/pipeline.h"

enum Reload_Mode { RELOAD_ALL, RELOAD_CHANGED };

/// The configuration the running services were opened from, kept from one reload to the next.
struct Running_Config
{
  std::vector<Conf_Entry> entries;  ///< the files' directives (not the "-S" ones)
  Conf_Texts texts;                 ///< the text of each file, by path
  Library_Stamps stamps;            ///< each loaded library file as it was loaded
};

/// Takes @a config, just applied, as the running configuration in @a running (its entries and
/// texts moved there), stamps the library files loaded anew and lets go of the check's loads.
void note_running(Checked_Config& config, Running_Config& running);

/// What a reload did.
struct Reload_Outcome
{
  Checked_Config config;  ///< what the check found
  std::vector<Conf_Problem> problems;  ///< what the apply found: a library that stayed loaded
  std::vector<std::string> records;    ///< one line per service touched, no newline
  std::set<std::string> kept;          ///< the services it left open and untouched
  bool applied = false;   ///< the Configurator applied the configuration (the check passed)
  bool stopped = false;   ///< applied, and the Configurator stopped at a file it could not read
  int errors = 0;         ///< the check's errors when not applied, else the Configurator's
  int open = 0;           ///< the services open afterwards, when applied
  /// One line, no newline: "Reload refused: N errors; the running services are unchanged",
  /// "Reloaded: N services open" or "Reloaded with N errors: M services open"; in "changed"
  /// mode "Reloaded: 1 opened, 1 re-opened, 1 removed, 12 unchanged; 14 services open".
  std::string summary;
};

/// Checks the configuration @a source names now (conf directories read anew; the "-S"
/// directives are neither checked nor applied again, as the Configurator's own reload does
/// not), then, only when the check finds nothing, has the Service Configurator apply the text
/// that was checked. The outcome is a success exactly when it is applied with no errors.
Reload_Outcome reload_services(const Config_Source& source, Reload_Mode mode,
                               Running_Config& running);

#endif /* STARTER_RELOAD_H */
