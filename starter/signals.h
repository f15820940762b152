/**
 * @file signals.h
 *
 * The host's signal handling: the dispositions of the stop, reconfiguration, debug-toggle,
 * fatal and ignored signals, and the relay that carries the deferred ones from signal context
 * to the event loop. A failure to set up the relay is logged; nothing here stops the host.
 */
#ifndef STARTER_SIGNALS_H
#define STARTER_SIGNALS_H

#include <signal.h>

/// Installs the host's dispositions and registers the relay with the process-wide reactor.
/// Call once, after that reactor exists and before the services open.
void init_signal_handlers();

/// Records the Service Configurator's "-s" signal (0 for none), read as the Configurator
/// reads it. Call before the services open.
void set_reconfig_signal(int signo);

/// Puts back the host's dispositions after the Service Configurator's open took some over, and
/// makes a "-s" signal that is none of the host's reconfigure as SIGHUP does.
void reassert_reconfig_handlers();

/// Fills @a set with the signals the host handles asynchronously (stop, reconfigure, debug
/// toggle, and the "-s" signal): those the pool threads must not take.
void host_async_signals(sigset_t& set);

/// After the services are finalised: logs the stop signals noted meanwhile, then takes the
/// relay out of the reactor, which ACE deletes at its own shutdown.
void close_signal_relay();

#endif /* STARTER_SIGNALS_H */
