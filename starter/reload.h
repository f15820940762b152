/**
 * @file reload.h
 *
 * The reload of the services' configuration, run by the event loop on SIGHUP or the
 * Service Configurator's "-s" signal. It tells a running notifier before and after.
 */
#ifndef STARTER_RELOAD_H
#define STARTER_RELOAD_H

#include <string>
#include <vector>

/// How a reload ended.
struct Reload_Outcome
{
  enum Result { APPLIED, REFUSED, APPLIED_WITH_ERRORS };
  Result result = APPLIED;
  std::string summary;                ///< the one-line outcome it logged
  std::vector<std::string> messages;  ///< the check's problems and the services that did not open
};

/// Checks the configuration the command line names now (conf directories read anew), then,
/// only when the check finds nothing, has the Service Configurator apply it. Logs the outcome
/// ("Reload refused: ...", "Reloaded: N services open" or "Reloaded with N errors: ...") and
/// tells systemd RELOADING=1 (stamped with the monotonic clock) before, READY=1 and a STATUS=
/// after. Returns 0 when the configuration was applied without errors, else -1; @a outcome, when
/// not null, receives how it ended.
int reload_services(Reload_Outcome* outcome = nullptr);

#endif /* STARTER_RELOAD_H */
