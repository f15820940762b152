/**
 * @file signals.h
 *
 * The host's signal handling: the dispositions of the stop, reconfiguration, debug-toggle,
 * fatal, unhandled and ignored signals, and the relay that carries the deferred ones from
 * signal context to the event loop, where it logs each and hands the stops and
 * reconfigurations on as events (Signal_Events). A stop signal also starts the stop deadline. What follows from an event is
 * the owner's to decide: nothing here knows the loop, the reload or systemd.
 */
#ifndef STARTER_SIGNALS_H
#define STARTER_SIGNALS_H

#include <signal.h>

/**
 * @class Signal_Events
 *
 * @brief What the relay hands on, on a thread that runs the event loop, once it has logged
 * the signal. Every signal is handed on, the second stop too.
 */
class Signal_Events
{
public:
  /// A stop signal (SIGINT, SIGQUIT, SIGTERM) @a signo came.
  virtual void on_stop_signal(int signo) = 0;
  /// A reconfiguration signal @a signo (SIGHUP, or the Service Configurator's "-s") came.
  virtual void on_reconfig_signal(int signo) = 0;

protected:
  ~Signal_Events() = default;
};

/// Registers the relay with the process-wide reactor and installs the host's dispositions;
/// the relay hands its events to @a events, which must stay until close_signal_relay(). Call
/// once, after that reactor exists and before the services open. False, after an LM_ERROR
/// naming the cause, when the relay cannot be set up: the host must then not start, since no
/// stop signal could end it.
bool init_signal_handlers(Signal_Events& events);

/// After the Service Configurator's open, and after each reload: puts back the host's
/// dispositions of SIGHUP and of @a reconfig_signo, the Configurator's "-s" signal (0 for
/// none), which the open took over (a "-s" signal that is none of the host's reconfigures as
/// SIGHUP does), and hands on a reconfiguration asked for meanwhile.
void reassert_reconfig_handlers(int reconfig_signo);

/// Fills @a set with the signals the host handles asynchronously (stop, reconfigure, debug
/// toggle, and the "-s" signal @a reconfig_signo): those the pool threads must not take.
void host_async_signals(sigset_t& set, int reconfig_signo);

/// On a pool thread, which blocks @a blocked: hands each of those signals pending for it (one a
/// service raised on it, say) to the relay, as its handler would have.
void relay_pending_signals(const sigset_t& blocked);

/// On the main thread, while no event-loop thread runs (a reload, the stop): blocks the
/// reconfiguration and debug-toggle signals (@a reconfig_signo being the "-s" one), and with
/// @a stops the stop signals too; the mask before is stored in @a old_mask when given. A
/// service finalised meanwhile, or ACE's teardown, may give them back their default action,
/// which for SIGHUP would kill the host.
void hold_relayed_signals(bool stops, int reconfig_signo, sigset_t* old_mask = 0);

/// Before and after the services are finalised: drops every handler that services registered
/// with the reactor for a signal, without calling it (a finalised service may have freed it,
/// and ACE would otherwise call into it when it shuts down), and gives each such signal the
/// host's disposition, or ignores it.
void forget_service_signal_handlers();

/// After the services are finalised: logs the stop signals noted meanwhile (handing them on),
/// then takes the relay out of the reactor, which ACE deletes at its own shutdown; no event is
/// handed on after.
void close_signal_relay();

#endif /* STARTER_SIGNALS_H */
