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

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "starter/config/apply.h"
#include "starter/config/libraries.h"
#include "starter/config/pipeline.h"

enum Reload_Mode { RELOAD_ALL, RELOAD_CHANGED };

/// The configuration the running services were opened from, kept from one reload to the next.
struct Running_Config
{
  std::vector<Conf_Entry> entries;  ///< the files' directives (not the "-S" ones)
  Conf_Texts texts;                 ///< the text of each file, by path
  std::vector<std::string> directives;  ///< the "-S" directives that were applied, in order
  Library_Stamps stamps;            ///< each loaded library file as it was loaded
};

/// Takes @a config, just applied, as the running configuration in @a running (its entries and
/// texts moved there), stamps the library files loaded anew and lets go of the check's loads.
void note_running(Checked_Config& config, Running_Config& running);

/// Calls @a f(name, loaded file) for each service in the Service Repository loaded from a
/// library, in the repository's order.
void for_each_loaded(const std::function<void(const std::string&, const std::string&)>& f);

/// What a reload did.
struct Reload_Outcome
{
  Checked_Config config;  ///< what the check found
  std::vector<Conf_Problem> problems;  ///< what the apply found: a library that stayed loaded
  std::vector<std::string> records;    ///< one line per service touched, no newline
  std::set<std::string> kept;          ///< the services it left open and untouched
  bool applied = false;   ///< the Configurator applied the configuration (the check passed)
  bool stopped = false;   ///< applied, and the Configurator stopped at a file it could not read
  /// A service it opened or re-opened failed (in @a failures): what it changed was put back.
  bool rolled_back = false;
  Open_Failures failures;  ///< the services that did not open, each logged as it failed
  int errors = 0;         ///< the check's errors when not applied, else the Configurator's
  int open = 0;           ///< the services open afterwards, when applied
  /// One line, no newline: "Reload refused: N errors; the running services are unchanged",
  /// "Reloaded: N services open" or "Reloaded with N errors: M services open", "Reload rolled
  /// back: ..." (rollback.h); in "changed"
  /// mode "Reloaded: 1 opened, 1 re-opened, 1 removed, 12 unchanged; 14 services open".
  std::string summary;
};

/// Lets go of the libraries the check of @a config loaded; each that no open service uses is
/// closed in full, so that a later open of its path loads the file there then.
void release_check_loads(Checked_Config& config);

/// Adds to @a problems, for each library file of @a stamps overwritten in place since it was
/// loaded (config/libraries.h), an error naming the fix and a warning that the running copy
/// may be damaged. True when there was one: nothing may open that file again.
bool refuse_overwritten(const Library_Stamps& stamps, std::vector<Conf_Problem>& problems);

/// Checks the configuration @a source names now (conf directories read anew; the "-S"
/// directives are neither checked nor applied again, as the Configurator's own reload does
/// not), then, only when the check finds nothing, has the Service Configurator apply the text
/// that was checked, after @a before_apply (when given) has seen it. A library overwritten in
/// place refuses the reload before the check. A service of the running configuration that is
/// not open is opened again. When a service it opens or re-opens fails, the reload is rolled
/// back (rollback.h): the services it touched are opened again from their running directives,
/// and the running configuration stays. The outcome is a success exactly when it is applied
/// with no errors.
Reload_Outcome reload_services(const Config_Source& source, Reload_Mode mode,
                               Running_Config& running,
                               const std::function<void(Checked_Config&)>& before_apply = nullptr);

#endif /* STARTER_RELOAD_H */
