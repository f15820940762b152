/**
 * @file reload.h
 *
 * The reload of the services' configuration, run by the event loop on SIGHUP or the
 * Service Configurator's "-s" signal. It tells a running notifier before and after.
 */
#ifndef STARTER_RELOAD_H
#define STARTER_RELOAD_H

/// Checks the configuration the command line names now (conf directories read anew), then,
/// only when the check finds nothing, has the Service Configurator apply it. Logs the outcome
/// ("Reload refused: ...", "Reloaded: N services open" or "Reloaded with N errors: ...") and
/// tells systemd RELOADING=1 (stamped with the monotonic clock) before, READY=1 and a STATUS=
/// after. Returns 0 when the configuration was applied without errors, else -1.
int reload_services();

#endif /* STARTER_RELOAD_H */
