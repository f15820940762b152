// A reload's undoing: the services it touched put back as the running configuration has them.
#include "starter/rollback.h"

#include <algorithm>

#include <ace/Service_Types.h>

std::set<std::string> services_in_repository()
{
  std::set<std::string> names;
  for_each_service([&names](const ACE_Service_Type* t) { names.insert(t->name()); });
  return names;
}

Rollback_Outcome roll_back(const std::vector<std::string>& touched,
                           const std::set<std::string>& open_before, const Running_Config& running)
{
  Rollback_Outcome undone;
  std::set<std::string> const names(touched.begin(), touched.end());
  for (auto n = touched.rbegin(); n != touched.rend(); ++n)
    undone.errors += remove_service(*n);
  for (const Conf_Entry& e : running.entries)
    if (names.count(e.name) != 0 && open_before.count(e.name) != 0)
      undone.errors += apply_directive(e, running.texts);
  std::set<std::string> const now = services_in_repository();
  for (const std::string& n : names)
    if (open_before.count(n) != 0 && now.count(n) == 0)
      undone.not_reopened.push_back(n);
  compact_repository();
  return undone;
}

std::string rollback_summary(const Open_Failures& failures, const Rollback_Outcome& undone)
{
  std::string s = "Reload rolled back: ";
  if (!failures.empty()) {
    const Open_Failure& f = failures.front();
    s += f.name + " did not open (" + f.site + ": " + f.why + ")";
    if (failures.size() > 1)
      s += " and " + std::to_string(failures.size() - 1) + " other" +
           (failures.size() > 2 ? "s" : "");
  }
  if (undone.not_reopened.empty())
    return s + "; the running services are unchanged";
  s += "; not open again:";
  for (const std::string& n : undone.not_reopened)
    s += " " + n;
  return s;
}
