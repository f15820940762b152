/**
 * @file reload.h
 *
 * The reload of the services' configuration, run by the event loop on SIGHUP or the
 * Service Configurator's "-s" signal. It tells a running notifier before and after.
 */
#ifndef STARTER_RELOAD_H
#define STARTER_RELOAD_H

/// Has the Service Configurator read its files again and apply them, telling systemd
/// RELOADING=1 (stamped with the monotonic clock) before and READY=1 and the open services
/// after.
void reload_services();

#endif /* STARTER_RELOAD_H */
