// Restarting one service from the directive that opened it.
#include "starter/control/restart.h"

#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>

#include "starter/journal_log.h"

int restart_service(const std::string& name, Host_Record& record, time_t now, std::string& outcome)
{
  const ACE_Service_Type* type = 0;
  if (ACE_Service_Repository::instance()->find(name.c_str(), &type, false) < 0) {
    outcome = "no service named '" + name + "'";
    return -1;
  }
  std::map<std::string, Service_Site>::iterator const site = record.sites.find(name);
  if (site == record.sites.end() || site->second.directive.empty()) {
    outcome = "service '" + name + "' has no directive of its own to open it from";
    return -1;
  }
  std::string const where = site->second.where + ":" + std::to_string(site->second.line);
  if (ACE_Service_Config::remove(name.c_str()) != 0) {
    outcome = "service '" + name + "' could not be finalised";
    return -1;
  }
  int const errors = ACE_Service_Config::process_directive(site->second.directive.c_str());
  // Opening may turn ACE's plain standard-error output back on.
  reassert_journal_log();
  if (errors != 0 || ACE_Service_Repository::instance()->find(name.c_str(), &type, false) < 0) {
    outcome = "service '" + name + "' was finalised, but its directive at " + where +
              " did not open it again";
    return -1;
  }
  site->second.opened = now;
  outcome = "restarted '" + name + "' from " + where;
  return 0;
}
