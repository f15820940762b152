// The restart of one named service from its current directive.
#include "starter/restart.h"

#include <ace/DLL.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "starter/config/apply.h"
#include "starter/config/repository.h"
#include "starter/config/compare.h"

Restart_Outcome restart_service(const std::string& name, const Running_Config& running)
{
  Restart_Outcome outcome;
  const Conf_Entry* entry = nullptr;
  for (const Conf_Entry& e : running.entries)
    if (defines_service(e) && e.name == name)
      entry = &e;
  if (entry == nullptr) {
    outcome.message = "no service " + name + " in the configuration";
    return outcome;
  }
  std::string const at = entry->where + ":" + std::to_string(entry->line);
  // The library stays loaded across the restart: its static constructors do not run again.
  ACE_DLL hold;
  const ACE_Service_Type* type = nullptr;
  if (ACE_Service_Repository::instance()->find(name.c_str(), &type, false) >= 0 && type != 0)
    hold = type->dll();
  remove_service(name);
  outcome.ok = apply_directive(*entry, running.texts) == 0 &&
               ACE_Service_Repository::instance()->find(name.c_str(), &type, false) >= 0;
  // A service the configuration suspends is suspended again.
  for (const Conf_Entry& e : running.entries)
    if (outcome.ok && e.name == name && (e.keyword == "suspend" || e.keyword == "resume"))
      apply_directive(e, running.texts);
  compact_repository();
  outcome.message = outcome.ok ? "Restarted " + name + " from " + at
                               : name + " failed to open again from " + at;
  return outcome;
}
