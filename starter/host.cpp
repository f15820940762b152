// The host's owner: start-up's open of the services, the loop, and what follows each signal
// event and each reload.
#include "starter/host.h"

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
#include "starter/config/apply.h"
#include "starter/config/assemble.h"
#include "starter/config/finalise.h"
#include "starter/reload.h"
#include "starter/reload_record.h"
#include "starter/reports.h"
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
    bool const error = !p.warning || strict;
    SCRT_LOG(-1, (error ? LM_ERROR : LM_WARNING, "%s\n", format_problem(p).c_str()));
    errors += error ? 1 : 0;
  }
  return errors;
}

Host::Host(const Config_Source& source, int reconfig_signo, ACE_Reactor* reactor,
           const char* reactor_kind, size_t threads, Reload_Mode mode)
  : source_(source), mode_(mode), reconfig_signo_(reconfig_signo), stopping_(false),
    loop_(reactor, [this] { reload(); }, relay_pending_signals)
{
  record_.reactor = reactor_kind;
  record_.threads = threads;
  record_.started = ACE_OS::time(0);
}

void Host::run_quiesced(std::function<void()> job)
{
  loop_.request_quiesced([this, job] {
    job();
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
}

/// on_exit() hook, registered last so that it runs first: ends the process before the
/// dynamic loader runs the destructors of each library, a damaged copy's among them.
static void exit_past_library_destructors(int status, void*)
{
  std::fflush(0);
  ::_exit(status);
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
  record_.configured(config, ACE_OS::time(0));
  Open_Failures failures;
  int const errors = open_service_config_vector(config, &failures);
  record_.failed(failures);
  note_running(config, running_);
  if (errors != 0) {
    int const open = open_service_count();
    if (errors < 0)
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read: %d "
                    "service%s open\n", open, open == 1 ? "" : "s"));
    else
      SCRT_LOG(-1, (LM_ERROR, "The Service Configurator reported %d error%s: %d service%s open\n",
                    errors, errors == 1 ? "" : "s", open, open == 1 ? "" : "s"));
  }
  reassert_reconfig_handlers(reconfig_signo_);
  return errors == 0;
}

void Host::start_notifier()
{
  Systemd_Handler* const h = new (std::nothrow) Systemd_Handler;
  if (h == 0) {
    ACE_OS::last_error(ENOMEM);
    return;
  }
  // The creator's reference goes on return: a notifier that failed to open dies here, a
  // running one lives while the reactor holds it.
  h->reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
  ACE_Event_Handler_var guard(h);
  (void)h->open(ACE_Reactor::instance());
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

void Host::run(size_t threads)
{
  sigset_t pool_blocked;
  host_async_signals(pool_blocked, reconfig_signo_);
  loop_.run(threads, pool_blocked);
}

void Host::on_stop_signal(int)
{
  if (stopping_)
    return;
  stopping_ = true;
  loop_.request_stop();
  Systemd_Handler::notify("STOPPING=1\n");
}

void Host::on_reconfig_signal(int)
{
  loop_.request_reload();
}

/// Ends the reload for systemd: READY=1, then @a status as STATUS= (the open services when
/// null).
static void notify_reloaded(const char* status)
{
  Systemd_Handler::notify("READY=1\n");
  if (status == 0) {
    notify_service_status();
    return;
  }
  std::string state;
  string_sprintf(state, "STATUS=%s\n", status);
  Systemd_Handler::notify(state.c_str());
}

Reload_Outcome Host::reload()
{
  // A unit of Type=notify-reload waits for RELOADING=1 stamped with the monotonic clock, then
  // for READY=1. The same stamp dates the reload record, which --reload-wait compares with the
  // time of its signal.
  unsigned long long const began = monotonic_usec();
  std::string state;
  string_sprintf(state, "RELOADING=1\nMONOTONIC_USEC=%llu\n", began);
  Systemd_Handler::notify(state.c_str());

  // Until the dispositions are put back below, a reconfiguration signal waits, blocked,
  // rather than meet the default action a finalised service may have put back.
  sigset_t old_mask;
  hold_relayed_signals(false, reconfig_signo_, &old_mask);
  Reload_Outcome outcome = reload_services(source_, mode_, running_);
  log_conf_problems(outcome.config, source_.strict);
  for (const Conf_Problem& p : outcome.problems)
    SCRT_LOG(-1, (LM_ERROR, "%s\n", format_problem(p).c_str()));
  for (const std::string& r : outcome.records)
    SCRT_LOG(0, (LM_INFO, "%s\n", r.c_str()));
  if (outcome.stopped)
    SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read\n"));
  // A service finalised by the reload may hand back the signal dispositions it saw when it
  // opened (ACE's Name_Server sets SIGHUP to its default, so the next reload signal would kill).
  if (outcome.applied)
    reassert_reconfig_handlers(reconfig_signo_);
  ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
  bool const ok = outcome.applied && outcome.errors == 0 && !outcome.rolled_back;
  if (ok)
    SCRT_LOG(0, (LM_INFO, "%s\n", outcome.summary.c_str()));
  else
    SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.summary.c_str()));
  notify_reloaded(ok && mode_ == RELOAD_ALL ? 0 : outcome.summary.c_str());
  write_reload_record(began, ok ? 0 : 1, outcome.summary);
  if (outcome.applied && !outcome.rolled_back)
    record_.configured(outcome.config, ACE_OS::time(0));
  record_.failed(outcome.failures);
  std::vector<std::string> messages;
  for (const Conf_Problem& p : outcome.config.problems)
    messages.push_back(format_problem(p));
  for (const Open_Failure& f : outcome.failures)
    messages.push_back(f.site + ": " + f.name + " did not open: " + f.why);
  record_.reloaded(!outcome.applied       ? "refused"
                   : outcome.rolled_back ? "rolled back"
                   : ok                  ? "applied"
                                         : "applied with errors",
                   outcome.summary, messages, ACE_OS::time(0));
  return outcome;
}
