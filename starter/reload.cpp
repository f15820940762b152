// The reload: what a SIGHUP (or the "-s" signal) does once the event loop carries it out.
// Check first, apply only a configuration that passes, and say how it went.
#include "starter/reload.h"

#include "scrt/string_sprintf.h"
#include "starter/config/apply.h"

Reload_Outcome reload_services(const Config_Source& source)
{
  Reload_Outcome outcome;
  Checked_Config& config = outcome.config;
  assemble_and_check(source, false, config);
  if (config.errors != 0) {
    outcome.errors = config.errors;
    string_sprintf(outcome.summary, "Reload refused: %d error%s; the running services are unchanged",
                   outcome.errors, outcome.errors == 1 ? "" : "s");
    return outcome;
  }

  // What is applied is the text that was checked: a file changed or replaced (by a FIFO, say)
  // since cannot slip in, and none is opened again.
  outcome.applied = true;
  int errors = process_service_config_files(config);
  if (errors < 0) {
    outcome.stopped = true;
    errors = 1;
  }
  outcome.errors = errors;
  outcome.open = open_service_count();
  int const open = outcome.open;
  if (errors == 0)
    string_sprintf(outcome.summary, "Reloaded: %d service%s open", open, open == 1 ? "" : "s");
  else
    string_sprintf(outcome.summary, "Reloaded with %d error%s: %d service%s open", errors,
                   errors == 1 ? "" : "s", open, open == 1 ? "" : "s");
  return outcome;
}
