// The reload: what a SIGHUP (or the "-s" signal) does once the event loop carries it out.
// Check first, apply only a configuration that passes, and say how it went.
#include "starter/reload.h"

#include <string>
#include <vector>

#include <ace/OS_NS_time.h>
#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>

#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"
#include "starter/config_vector.h"
#include "starter/control/host_record.h"
#include "starter/reports.h"
#include "starter/signals.h"
#include "starter/systemd_handler.h"

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

/// Ends the reload: @a result and @a summary into @a outcome, when not null, and into the host's
/// record with @a messages.
static void note_outcome(Reload_Outcome* outcome, Reload_Outcome::Result result,
                         const std::string& summary, std::vector<std::string>& messages)
{
  static const char* const names[] = {"applied", "refused", "applied with errors"};
  host_record().reloaded(names[result], summary, messages, ACE_OS::time(0));
  if (outcome == 0)
    return;
  outcome->result = result;
  outcome->summary = summary;
  outcome->messages.swap(messages);
}

int reload_services(Reload_Outcome* reported)
{
  // A unit of Type=notify-reload waits for RELOADING=1 stamped with the monotonic clock, then
  // for READY=1.
  timespec now;
  ACE_OS::clock_gettime(CLOCK_MONOTONIC, &now);
  std::string state;
  string_sprintf(state, "RELOADING=1\nMONOTONIC_USEC=%llu\n",
                 static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                     static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
  Systemd_Handler::notify(state.c_str());

  // Conf directories are expanded anew, so files added since the last reload are read. The
  // "-S" directives are neither checked nor applied again, as the Configurator's own reload
  // does not.
  std::vector<std::string> v;
  Conf_Texts texts;
  std::vector<Conf_Problem> problems;
  int const refusing = check_service_config_now(false, v, texts, problems);
  log_conf_problems(problems);
  std::vector<std::string> messages;
  for (const Conf_Problem& p : problems)
    messages.push_back(format_problem(p));
  std::string outcome;
  if (refusing != 0) {
    string_sprintf(outcome, "Reload refused: %d error%s; the running services are unchanged",
                   refusing, refusing == 1 ? "" : "s");
    SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.c_str()));
    notify_reloaded(outcome.c_str());
    note_outcome(reported, Reload_Outcome::REFUSED, outcome, messages);
    return -1;
  }

  // What is applied is the text that was checked: a file changed or replaced (by a FIFO, say)
  // since cannot slip in, and none is opened again.
  std::vector<std::string> files;
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i - 1] == "-f")
      files.push_back(v[i]);
  // Without "-f" the Configurator's default file, when the check found one.
  if (files.empty() && texts.count(ACE_DEFAULT_SVC_CONF) != 0)
    files.push_back(ACE_DEFAULT_SVC_CONF);
  int errors = process_service_config_files(files, texts);
  if (errors < 0) {
    SCRT_LOG(-1, (LM_ERROR, "The Service Configurator stopped at a file it could not read\n"));
    errors = 1;
  }
  // A service finalised here may hand back the signal dispositions it saw when it opened
  // (ACE's Name_Server sets SIGHUP to its default, so the next reload signal would kill).
  reassert_reconfig_handlers();
  Host_Record& record = host_record();
  record.configured(v, texts, ACE_OS::time(0));
  // The Configurator's own records tell why; these say which directive it was.
  for (const auto& site : record.sites)
    if (ACE_Service_Repository::instance()->find(site.first.c_str(), 0, false) < 0)
      messages.push_back(site.second.where + ":" + std::to_string(site.second.line) +
                         ": service " + site.first + " is not open");
  int const open = open_service_count();
  if (errors == 0) {
    string_sprintf(outcome, "Reloaded: %d service%s open", open, open == 1 ? "" : "s");
    SCRT_LOG(0, (LM_INFO, "%s\n", outcome.c_str()));
    notify_reloaded(0);
    note_outcome(reported, Reload_Outcome::APPLIED, outcome, messages);
    return 0;
  }
  string_sprintf(outcome, "Reloaded with %d error%s: %d service%s open", errors,
                 errors == 1 ? "" : "s", open, open == 1 ? "" : "s");
  SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.c_str()));
  notify_reloaded(outcome.c_str());
  note_outcome(reported, Reload_Outcome::APPLIED_WITH_ERRORS, outcome, messages);
  return -1;
}
