// The host's owner: its start-up and stop, the loop, and what follows each signal event and
// each reload.
#include "starter/host.h"

#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <new>
#include <string>
#include <vector>

#include <ace/Event_Handler.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>

#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"
#include "starter/cold_pages.h"
#include "starter/config/apply.h"
#include "starter/config/finalise.h"
#include "starter/config/repository.h"
#include "starter/config/assemble.h"
#include "starter/control/server.h"
#include "starter/daemon.h"
#include "starter/fd_store.h"
#include "starter/quarantine.h"
#include "starter/reload.h"
#include "starter/reload_record.h"
#include "starter/reports.h"
#include "starter/service_map.h"
#include "starter/service_threads.h"
#include "starter/stall_watch.h"
#include "starter/stop_deadline.h"
#include "starter/suspension.h"
#include "starter/systemd_handler.h"

/// Logs each problem of @a config as "FILE:LINE: message", at LM_ERROR (a warning at
/// LM_WARNING unless @a strict), and each conf directory that holds no file at LM_NOTICE.
/// Returns the count that logged as errors.
static int log_conf_problems(const Checked_Config& config, bool strict)
{
  for (const std::string& dir : config.empty_dirs)
    SCRT_LOG(0, (LM_NOTICE, "%s holds no *.conf file: no services from it\n", dir.c_str()));
  int errors = 0;
  for (const Conf_Problem& p : config.problems) {
    bool const error = counts_as_error(p, strict);
    SCRT_LOG(-1, (error ? LM_ERROR : LM_WARNING, "%s\n", format_problem(p).c_str()));
    errors += error ? 1 : 0;
  }
  return errors;
}

/// The configuration source of @a line: its Configurator words, against its starting directory.
static Config_Source source_of(const Command_Line& line)
{
  Config_Source source;
  source.program = line.program;
  source.words = line.conf_words;
  source.base_dir = line.host.start_dir;
  source.strict = line.operators.strict;
  return source;
}

/// on_exit() hook, registered last so that it runs first: ends the process before the
/// dynamic loader runs the destructors of each library, a damaged copy's among them.
static void exit_past_library_destructors(int status, void*)
{
  std::fflush(0);
  ::_exit(status);
}

/// Finalises the services. Their signal handlers are dropped from ACE's one table first: a
/// service finalised may leave its handler there freed, and the teardown of a later one that
/// walks the table (ACE's memory pools do: the Name Server's) would call into freed memory.
static int finalise_services()
{
  forget_service_signal_handlers();
  int const threw = close_services();
  forget_service_signal_handlers();
  // The teardown of ACE and of the libraries would free, or wait for, what those threads use.
  if (size_t const left = threads_left_running()) {
    SCRT_LOG(-1, (LM_WARNING, "Stopping with %d thread%s the services left running: the host "
                  "ends without running the libraries' destructors\n", static_cast<int>(left),
                  left == 1 ? "" : "s"));
    ::on_exit(exit_past_library_destructors, 0);
  }
  return threw;
}

Host::Host(const Command_Line& line, ACE_Reactor* reactor, size_t threads)
  : source_(source_of(line)), options_(line.host), strict_(line.operators.strict),
    threads_(threads), mode_(line.host.reload_changed ? RELOAD_CHANGED : RELOAD_ALL),
    reconfig_signo_(line.host.reconfig_signal), stopping_(false),
    loop_(reactor,
          [this] {
            std::lock_guard<std::recursive_timed_mutex> guard(changing_);
            reload();
          },
          relay_pending_signals, note_loop_thread)
{
  record_.reactor = options_.reactor;
  record_.threads = threads;
  record_.reload_mode = mode_ == RELOAD_CHANGED ? "changed" : "all";
  record_.started = ACE_OS::time(0);
}

int Host::start()
{
  if (!init_signal_handlers(*this))
    return 1;
  // Only now that the stop and reload signals are taken: a supervisor may signal as soon as
  // the file appears. Another running host's file refuses the start even without --strict.
  bool const pid_written = pid_file_.write(options_.pid_file);
  if (!pid_written && (strict_ || ACE_OS::last_error() == EWOULDBLOCK))
    return 1;
  if (pid_written && options_.pid_file)
    reload_record_ = reload_record_path(*options_.pid_file);
  // Before the services open, as the run's identity, which will own the file.
  if (options_.state_dir != 0) {
    Quarantine_Policy policy;
    policy.deaths = options_.quarantine_deaths;
    policy.window = options_.quarantine_seconds;
    if (!open_quarantine(options_.state_path, policy) && strict_)
      return stop_strictly("No deaths file");
  }
  if (options_.stall_ms > 0)
    prepare_stall_watch();
  Checked_Config config;
  int const errors = check_configuration(config);
  if (errors != 0 && strict_)
    return stop_strictly("The configuration has " + std::to_string(errors) +
                         (errors == 1 ? " error" : " errors"));
  opened_ = true;
  bool const opened = open_services(config);
  // Applied: what is left of it need not be held while the services run, nor the memory the
  // check and the apply used and gave back.
  config = Checked_Config();
  (void)::malloc_trim(0);
  if (!opened && strict_)
    return stop_strictly("Failed to open the services");
  if (threads_ > 1 && start_loop_threads(threads_) < threads_ && strict_)
    return stop_strictly("Not every event-loop thread asked for started");
  if (options_.control != 0 && !open_control() && strict_)
    return stop_strictly("No control socket");
  log_system_info();
  start_notifier();
  log_product_info();
  notify(status_text(0).c_str());
  report_running();
  return -1;
}

int Host::stop_strictly(const std::string& why)
{
  SCRT_LOG(-1, (LM_ERROR, "%C, and --strict is given: stopping\n", why.c_str()));
  end_loop_threads();
  if (opened_)
    finalise_services();
  return 1;
}

bool Host::open_control()
{
  Control_Server* const s = new (std::nothrow) Control_Server(*this);
  if (s == 0) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to serve the control socket %C: out of memory\n",
                  options_.control));
    return false;
  }
  control_ = s;
  std::string why;
  sigset_t blocked;
  host_async_signals(blocked, reconfig_signo_);
  ACE_Reactor* const r = control_loop_.open(why);
  if (r == 0 || s->open(r, options_.control_path, options_.control_gid, why) != 0 ||
      !control_loop_.start(blocked, why)) {
    s->close();
    SCRT_LOG(-1, (LM_ERROR, "Failed to serve the control socket %C: %C\n",
                  options_.control_path.c_str(), why.c_str()));
    control_ = 0;
    return false;
  }
  SCRT_LOG(0, (LM_INFO, "Serving the control socket %C\n", options_.control_path.c_str()));
  return true;
}

int Host::stop()
{
  control_loop_.stop();
  if (control_.handler() != 0)
    static_cast<Control_Server*>(control_.handler())->close();
  // Until the process ends, a reconfiguration signal waits rather than meet the default
  // action that a finalised service, or ACE's teardown, may put back.
  hold_relayed_signals(false, reconfig_signo_);
  set_aside_overwritten();
  int const threw = finalise_services();
  // Stop signals that came while the services were finalised are still logged.
  close_signal_relay();
  hold_relayed_signals(true, reconfig_signo_);
  // The deadline covered the finalisation too.
  cancel_stop_deadline();
  if (threw != 0) {
    SCRT_LOG(-1, (LM_ERROR, "Stopped, but %d exception%s escaped the finalisation: exit status 2\n",
                  threw, threw == 1 ? "" : "s"));
    return 2;
  }
  return 0;
}

void Host::notify(const char* state)
{
  if (Systemd_Handler* const n = static_cast<Systemd_Handler*>(notifier_.handler()))
    (void)n->notify(state);
}

void Host::run_quiesced(std::function<void()> job)
{
  loop_.request_quiesced([this, job] {
    std::lock_guard<std::recursive_timed_mutex> guard(changing_);
    job();
    note_services();
    confine_directed_suspension();
    reassert_reconfig_handlers(reconfig_signo_);
  });
}

int Host::check_configuration(Checked_Config& config)
{
  assemble_and_check(source_, true, config);
  return log_conf_problems(config, source_.strict);
}

void Host::check_now(Checked_Config& config) const
{
  if (refuse_overwritten(running_.stamps, config.problems)) {
    config.errors = static_cast<int>(config.problems.size() / 2);
    return;
  }
  assemble_and_check(source_, false, config);
  // Only a check: nothing it loaded is used.
  release_check_loads(config);
}

void Host::set_aside_overwritten()
{
  std::vector<std::string> const files = overwritten_libraries(running_.stamps);
  if (files.empty() || set_aside_services(files) == 0)
    return;
  ::on_exit(exit_past_library_destructors, 0);
}

bool Host::open_services(Checked_Config& config)
{
  record_.quarantined = set_aside_quarantined(config);
  record_.configured(config, ACE_OS::time(0));
  adopt_passed_listeners();
  Open_Failures failures;
  int const errors = open_service_config_vector(config, &failures);
  record_.failed(failures);
  note_running(config, running_);
  settle_listeners();
  prepare_running_blame(running_);
  note_services();
  if (errors != 0) {
    int const open = open_service_count();
    if (errors < 0)
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read: %d "
                    "service%s open\n", open, open == 1 ? "" : "s"));
    else
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator reported %d error%s: %d service%s open\n",
                    errors, errors == 1 ? "" : "s", open, open == 1 ? "" : "s"));
  }
  confine_directed_suspension();
  reassert_reconfig_handlers(reconfig_signo_);
  return errors == 0;
}

Restart_Outcome Host::restart(const std::string& name)
{
  Restart_Outcome done = restart_service(name, running_);
  if (done.ok)
    record_.reopened(name, ACE_OS::time(0));
  record_.failed(done.failures);
  return done;
}

void Host::start_notifier()
{
  Systemd_Handler* const h = new (std::nothrow) Systemd_Handler;
  if (h == 0) {
    ACE_OS::last_error(ENOMEM);
    return;
  }
  // The creator's reference: a notifier that failed to open dies here, a running one is kept
  // (the reactor's timer holds one more).
  h->reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
  ACE_Event_Handler_var guard(h);
  if (h->open(ACE_Reactor::instance()) == 0)
    notifier_ = guard.release();
}

size_t Host::start_loop_threads(size_t threads)
{
  sigset_t pool_blocked;
  host_async_signals(pool_blocked, reconfig_signo_);
  return loop_.start_threads(threads, pool_blocked);
}

void Host::end_loop_threads()
{
  loop_.end_threads();
}

void Host::run()
{
  sigset_t pool_blocked;
  host_async_signals(pool_blocked, reconfig_signo_);
  if (options_.stall_ms > 0)
    (void)start_stall_watch(ACE_Reactor::instance(), options_.stall_ms);
  // What the start-up alone ran is not held mapped while the services run.
  (void)release_startup_pages_when_running(ACE_Reactor::instance());
  loop_.run(threads_, pool_blocked);
  stop_stall_watch();
}

void Host::on_stop_signal(int)
{
  if (stopping_)
    return;
  stopping_ = true;
  loop_.request_stop();
  notify("STOPPING=1\n");
}

void Host::on_reconfig_signal(int)
{
  loop_.request_reload();
}


std::string Host::status_text(const char* summary) const
{
  std::string const quarantined = quarantine_status(record_.quarantined);
  if (summary == 0) {
    std::string text = service_status();
    return text.insert(text.size() - 1, quarantined);
  }
  return std::string("STATUS=") + summary + quarantined + "\n";
}

bool Host::release(const std::string& name, std::string& message)
{
  bool const ok = release_quarantined(name, message);
  for (Quarantined_Service& q : record_.quarantined)
    q.released |= ok && q.service == name;
  return ok;
}

Reload_Outcome Host::reload()
{
  // A unit of Type=notify-reload waits for RELOADING=1 stamped with the monotonic clock, then
  // for READY=1. The same stamp dates the reload record, which --reload-wait compares with the
  // time of its signal.
  unsigned long long const began = monotonic_usec();
  std::string state;
  string_sprintf(state, "RELOADING=1\nMONOTONIC_USEC=%llu\n", began);
  notify(state.c_str());

  // Until the dispositions are put back below, a reconfiguration signal waits, blocked,
  // rather than meet the default action a finalised service may have put back.
  sigset_t old_mask;
  hold_relayed_signals(false, reconfig_signo_, &old_mask);
  Reload_Outcome outcome = reload_services(source_, mode_, running_, [this](Checked_Config& c) {
    record_.quarantined = set_aside_quarantined(c);
  });
  settle_listeners();
  note_services();
  if (outcome.applied)
    prepare_running_blame(running_);
  log_conf_problems(outcome.config, source_.strict);
  for (const Conf_Problem& p : outcome.problems)
    SCRT_LOG(-1, (LM_ERROR, "%s\n", format_problem(p).c_str()));
  for (const std::string& r : outcome.records)
    SCRT_LOG(0, (LM_INFO, "%s\n", r.c_str()));
  if (outcome.stopped)
    SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read\n"));
  // A service finalised by the reload may hand back the signal dispositions it saw when it
  // opened (ACE's Name_Server sets SIGHUP to its default, so the next reload signal would kill).
  if (outcome.applied) {
    confine_directed_suspension();
    reassert_reconfig_handlers(reconfig_signo_);
  }
  ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
  bool const ok = outcome.applied && outcome.errors == 0 && !outcome.rolled_back;
  if (ok)
    SCRT_LOG(0, (LM_INFO, "%s\n", outcome.summary.c_str()));
  else
    SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.summary.c_str()));
  // READY=1, then the open services or, when there is more to say, the outcome as STATUS=.
  notify("READY=1\n");
  notify(status_text(ok && mode_ == RELOAD_ALL ? 0 : outcome.summary.c_str()).c_str());
  write_reload_record(reload_record_, began, ok ? 0 : 1, outcome.summary);
  if (outcome.applied && !outcome.rolled_back)
    record_.configured(outcome.config, ACE_OS::time(0), outcome.kept);
  record_.failed(outcome.failures);
  std::vector<std::string> messages = problem_messages(outcome.config.problems);
  for (const Open_Failure& f : outcome.failures)
    messages.push_back(f.site + ": " + f.name + " did not open: " + f.why);
  record_.reloaded(!outcome.applied       ? "refused"
                   : outcome.rolled_back ? "rolled back"
                   : ok                  ? "applied"
                                         : "applied with errors",
                   outcome.summary, messages, ACE_OS::time(0));
  // The reload ran the start-up's code again (the check, the apply): let go of it as well.
  (void)release_startup_pages_when_running(ACE_Reactor::instance());
  return outcome;
}
