/**
 * @file signals.h
 *
 * The host's signal handling: the dispositions of the stop, reconfiguration, debug-toggle,
 * fatal and ignored signals, and the relay that carries the deferred ones from signal context
 * to the event loop. A stop signal also starts the stop deadline.
 */
#ifndef STARTER_SIGNALS_H
#define STARTER_SIGNALS_H

#include <signal.h>

/// Registers the relay with the process-wide reactor and installs the host's dispositions.
/// Call once, after that reactor exists and before the services open. False, after an LM_ERROR
/// naming the cause, when the relay cannot be set up: the host must then not start, since no
/// stop signal could end it.
bool init_signal_handlers();

/// Records the Service Configurator's "-s" signal (0 for none), read as the Configurator
/// reads it. Call before the services open.
void set_reconfig_signal(int signo);

/// After the Service Configurator's open, and after each reload: puts back the host's
/// dispositions of SIGHUP and of the "-s" signal, which the open took over (a "-s" signal that
/// is none of the host's reconfigures as SIGHUP does), and hands on a reconfiguration asked
/// for meanwhile.
void reassert_reconfig_handlers();

/// Fills @a set with the signals the host handles asynchronously (stop, reconfigure, debug
/// toggle, and the "-s" signal): those the pool threads must not take.
void host_async_signals(sigset_t& set);

/// On a thread that blocks the host's asynchronous signals (a pool thread): hands each one
/// pending for it (one a service raised on it, say) to the relay, as its handler would have.
void relay_pending_signals();

/// On the main thread, while no event-loop thread runs (a reload, the stop): blocks the
/// reconfiguration and debug-toggle signals, and with @a stops the stop signals too; the mask
/// before is stored in @a old_mask when given. A service finalised meanwhile, or ACE's
/// teardown, may give them back their default action, which for SIGHUP would kill the host.
void hold_relayed_signals(bool stops, sigset_t* old_mask = 0);

/// After the services are finalised: drops every handler that services registered with the
/// reactor for a signal, without calling it (a finalised service may have freed it, and ACE
/// would otherwise call into it when it shuts down), and gives each such signal the host's
/// disposition, or ignores it.
void forget_service_signal_handlers();

/// After the services are finalised: logs the stop signals noted meanwhile, then takes the
/// relay out of the reactor, which ACE deletes at its own shutdown.
void close_signal_relay();

#endif /* STARTER_SIGNALS_H */
