/**
 * @file host.h
 *
 * The host's owner: the configuration source the reloads re-read, the stop and reload
 * requests (through its event loop), the Service Configurator's "-s" signal, and what systemd
 * is told. The signal relay hands it events; it turns them into requests, runs the loop, and
 * acts on each reload's outcome: logs it, puts back the signal dispositions, tells systemd.
 * Everything here runs on the main thread, or on a loop thread while the main thread waits.
 */
#ifndef STARTER_HOST_H
#define STARTER_HOST_H

#include <cstddef>

#include "starter/config/pipeline.h"
#include "starter/event_loop.h"
#include "starter/host_record.h"
#include "starter/reload.h"
#include "starter/signals.h"

class ACE_Reactor;

/**
 * @class Host
 *
 * @brief One per process, made by main() once the process-wide reactor exists.
 */
class Host : public Signal_Events
{
public:
  /// A host reading its configuration from @a source, reconfiguring on SIGHUP and on
  /// @a reconfig_signo (the Service Configurator's checked "-s", 0 for none), running its loop
  /// on @a reactor, of the kind @a reactor_kind ("--reactor"; null for ACE's default) with
  /// @a threads threads, and reloading as @a mode says.
  Host(const Config_Source& source, int reconfig_signo, ACE_Reactor* reactor,
       const char* reactor_kind, size_t threads, Reload_Mode mode = RELOAD_ALL);

  /// Assembles and checks the configuration, the "-S" directives too, into @a config and logs
  /// each problem at LM_ERROR. Returns the count of problems.
  int check_configuration(Checked_Config& config);

  /// Has the Service Configurator open the services of @a config (see config/apply.h) and puts
  /// back the dispositions the open took over; then @a config is the running configuration,
  /// and the check's hold on its libraries is let go. True when the Configurator reports no
  /// error; otherwise one LM_ERROR with the count.
  bool open_services(Checked_Config& config);

  /// Before the final shutdown: the services whose library was overwritten in place are set
  /// aside, not finalised (config/finalise.h), and the process, once main returns, ends
  /// without running library destructors.
  void set_aside_overwritten();

  /// The configuration the running services were opened from (for a restart of one).
  const Running_Config& running() const { return running_; }

  /// Assembles and checks the configuration as a reload would (conf directories read anew, no
  /// "-S" directive), into @a config; applies and logs nothing.
  void check_now(Checked_Config& config) const;

  /// Starts the systemd notifier on the reactor; a host without one runs on, unnotified.
  void start_notifier();

  /// Starts the pool of @a threads (more than one) event-loop threads, kept until the loop
  /// ends; returns how many started (see Event_Loop::start_threads). Once the services are open.
  size_t start_loop_threads(size_t threads);

  /// Ends the pool's threads, for a start that stops before run().
  void end_loop_threads();

  /// Runs the event loop on the pool, or on the calling thread, until a stop, reloading when
  /// asked. The stop deadline still runs: it covers the finalisation that follows.
  void run(size_t threads);

  /// The first stop ends the loop and tells systemd STOPPING=1; later ones do nothing more.
  void on_stop_signal(int signo) override;
  /// Asks the loop for a reload.
  void on_reconfig_signal(int signo) override;

  /// Has the loop run @a job on the main thread with the loop ended on every thread (see
  /// Event_Loop::request_quiesced()); after it, the dispositions a service the job finalised
  /// may have taken are put back. From any thread.
  void run_quiesced(std::function<void()> job);

  /// Tells systemd RELOADING=1, reloads, then logs the outcome, notes it in the record, puts
  /// back the dispositions the finalised services may have taken, and tells systemd READY=1
  /// and a STATUS=. Returns the outcome. Only with the loop ended on every thread.
  Reload_Outcome reload();

  /// What the control socket tells: written only with the loop quiesced or before it runs.
  Host_Record& record() { return record_; }

private:
  Host_Record record_;
  Config_Source const source_;
  Reload_Mode const mode_;
  Running_Config running_;
  /// The Service Configurator's "-s" signal, 0 for none.
  int const reconfig_signo_;
  /// Set by the first stop signal; read and written by the loop only.
  bool stopping_;
  Event_Loop loop_;
};

#endif /* STARTER_HOST_H */
