// The reload: what a SIGHUP (or the "-s" signal) does once the event loop carries it out.
// Check first, apply only a configuration that passes, and say how it went.
#include "starter/reload.h"

#include <string>
#include <vector>

#include <ace/OS_NS_time.h>
#include <ace/Service_Config.h>

#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"
#include "starter/config_vector.h"
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

/// Has the Service Configurator read @a files in order; returns the errors it reports. A file
/// that is no readable regular file now is skipped with an error, never opened: a FIFO would
/// block the event loop.
static int apply_files(const std::vector<std::string>& files)
{
  int errors = 0;
  for (const std::string& f : files) {
    std::string why;
    if (!readable_conf_file(f, why)) {
      SCRT_LOG(-1, (LM_ERROR, "%s: cannot be read: %s; skipped\n", f.c_str(), why.c_str()));
      ++errors;
      continue;
    }
    int const r = ACE_Service_Config::process_file(f.c_str());
    if (r < 0)
      SCRT_LOG(-1, (LM_ERROR, "%s: the Service Configurator could not process it, %m\n", f.c_str()));
    errors += r < 0 ? 1 : r;
  }
  return errors;
}

int reload_services()
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
  std::vector<Conf_Problem> dropped;
  std::vector<std::string> v = assemble_service_config(&dropped);
  log_conf_problems(dropped);
  std::vector<char*> p = pointer_vector(v);
  std::vector<Conf_Problem> problems;
  std::vector<std::string> const files =
      check_service_config_vector(static_cast<int>(v.size()), p.data(), false, problems);
  std::string outcome;
  if (int const errors = log_conf_problems(problems)) {
    string_sprintf(outcome, "Reload refused: %d error%s; the running services are unchanged",
                   errors, errors == 1 ? "" : "s");
    SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.c_str()));
    notify_reloaded(outcome.c_str());
    return -1;
  }

  int const errors = apply_files(files);
  // A service finalised here may hand back the signal dispositions it saw when it opened
  // (ACE's Name_Server sets SIGHUP to its default, so the next reload signal would kill).
  reassert_reconfig_handlers();
  int const open = open_service_count();
  if (errors == 0) {
    SCRT_LOG(0, (LM_INFO, "Reloaded: %d service%s open\n", open, open == 1 ? "" : "s"));
    notify_reloaded(0);
    return 0;
  }
  string_sprintf(outcome, "Reloaded with %d error%s: %d service%s open", errors,
                 errors == 1 ? "" : "s", open, open == 1 ? "" : "s");
  SCRT_LOG(-1, (LM_ERROR, "%s\n", outcome.c_str()));
  notify_reloaded(outcome.c_str());
  return -1;
}
