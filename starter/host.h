/**
 * @file host.h
 *
 * The host's owner: its start-up after the identity switch and its stop, and what it holds
 * while it runs: the configuration source the reloads assemble anew, the stop and reload
 * requests (through its event loop), the Service Configurator's "-s" signal, the pid file and
 * the reload record beside it, the control socket, the systemd notifier and the record the
 * control socket's status tells. The signal relay hands it events; it turns them into
 * requests, runs the loop, and acts on each reload's outcome: logs it, puts back the signal
 * dispositions, tells systemd. Everything here runs on the main thread, or on a loop thread
 * while the main thread waits.
 */
#ifndef STARTER_HOST_H
#define STARTER_HOST_H

#include <cstddef>
#include <string>

#include <ace/Event_Handler.h>

#include "starter/command_line.h"
#include "starter/config/pipeline.h"
#include "starter/event_loop.h"
#include "starter/host_record.h"
#include "starter/reload.h"
#include "starter/restart.h"
#include "starter/pid_file.h"
#include "starter/signals.h"

class ACE_Reactor;
class Systemd_Handler;

/**
 * @class Host
 *
 * @brief One per process, made by main() once the process-wide reactor exists.
 */
class Host : public Signal_Events
{
public:
  /// A host for the command line @a line, its host options resolved, running its loop on
  /// @a reactor with @a threads threads (0 or 1: the main thread).
  Host(const Command_Line& line, ACE_Reactor* reactor, size_t threads);

  /**
   * The start-up, in order: the signal dispositions, the pid file, the configuration checked
   * and its problems logged, the services opened, the pool's threads, the control socket, the
   * notifier and the records that the host runs. Returns -1 when the host is to run; else the
   * exit status, the refusal logged (with --strict: a configuration with problems, services
   * that failed to open, a thread or the control socket missing), and what was started undone.
   */
  int start();

  /// Runs the event loop on the pool, or on the calling thread, until a stop, reloading when
  /// asked. The stop deadline still runs: it covers the finalisation that follows.
  void run();

  /// The stop after run(): the control socket closed, each service finalised, the relay
  /// closed, the stop deadline cancelled. Returns the exit status: 2 when an exception escaped
  /// a finalisation (logged), else 0. The pid file goes with the host.
  int stop();

  /// Finalises service @a name and opens it again from its running directive (restart.h);
  /// when it opens, the record dates it now. Only with the loop ended on every thread.
  Restart_Outcome restart(const std::string& name);

  /// Assembles and checks the configuration as a reload would (conf directories read anew, no
  /// "-S" directive), into @a config; applies and logs nothing.
  void check_now(Checked_Config& config) const;

  /// Sends @a state (for instance "STOPPING=1\n") through the running notifier; nothing while
  /// none runs.
  void notify(const char* state);

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
  const Host_Record& record() const { return record_; }

private:
  /// Assembles and checks the configuration, the "-S" directives too, into @a config and logs
  /// each problem at LM_ERROR. Returns the count of problems.
  int check_configuration(Checked_Config& config);

  /// Has the Service Configurator open the services of @a config (see config/apply.h) and puts
  /// back the dispositions the open took over; then @a config is the running configuration,
  /// and the check's hold on its libraries is let go. True when the Configurator reports no
  /// error; otherwise one LM_ERROR with the count.
  bool open_services(Checked_Config& config);

  /// Starts the systemd notifier on the reactor; a host without one runs on, unnotified.
  void start_notifier();

  /// Starts the pool of @a threads (more than one) event-loop threads, kept until the loop
  /// ends; returns how many started (see Event_Loop::start_threads). Once the services are open.
  size_t start_loop_threads(size_t threads);

  /// Ends the pool's threads, for a start that stops before run().
  void end_loop_threads();

  /// Logs "@a why, and --strict is given: stopping", undoes what start() did, returns 1.
  int stop_strictly(const std::string& why);
  /// Serves the control socket "--control" names; false, logged, when it cannot be served.
  bool open_control();

  Host_Record record_;
  Config_Source const source_;
  Host_Options const options_;
  bool const strict_;
  size_t const threads_;
  Reload_Mode const mode_;
  Running_Config running_;
  /// The Service Configurator's "-s" signal, 0 for none.
  int const reconfig_signo_;
  /// Set by the first stop signal; read and written by the loop only.
  bool stopping_;
  /// Whether start() had the Configurator open the services: a stop finalises them.
  bool opened_ = false;
  Event_Loop loop_;
  Pid_File pid_file_;
  /// Where each reload's outcome is recorded (beside the pid file); empty for nowhere.
  std::string reload_record_;
  ACE_Event_Handler_var control_;
  /// The notifier, held while it runs; null when none does.
  ACE_Event_Handler_var notifier_;
};

#endif /* STARTER_HOST_H */
