// The comparison of a checked configuration with the running one, for reloads that touch only
// what changed.
#include "starter/config/compare.h"

#include <unordered_map>
#include <unordered_set>

bool defines_service(const Conf_Entry& e)
{
  return e.keyword == "dynamic" || e.normal.compare(0, 15, "stream dynamic ") == 0;
}

const char* reopen_reason_text(Reopen_Reason r)
{
  switch (r) {
    case REOPEN_ARGUMENTS_CHANGED: return "arguments changed";
    case REOPEN_LIBRARY_CHANGED: return "library changed";
    case REOPEN_DIRECTIVE_CHANGED: return "directive changed";
    case REOPEN_NEW_CODE: return "its library changed";
    case REOPEN_NONE: break;
  }
  return "";
}

/// Why the definition @a now differs from @a was.
static Reopen_Reason why_changed(const Conf_Entry& was, const Conf_Entry& now)
{
  if (was.library != now.library)
    return REOPEN_LIBRARY_CHANGED;
  // The words before the arguments: keyword, name, type, library and factory, active flag.
  std::string::size_type const a = was.normal.find_first_of("\"'");
  std::string::size_type const b = now.normal.find_first_of("\"'");
  if (was.keyword == "dynamic" && was.normal.substr(0, a) == now.normal.substr(0, b))
    return REOPEN_ARGUMENTS_CHANGED;
  return REOPEN_DIRECTIVE_CHANGED;
}

Reload_Plan plan_reload(const std::vector<Conf_Entry>& running, const std::vector<Conf_Entry>& next,
                        const std::set<std::string>& new_code)
{
  Reload_Plan plan;
  // The definition of each name that counts: its last. Looked up by hash: a reload of
  // thousands of services looks each name up several times.
  std::unordered_map<std::string, const Conf_Entry*> was;
  std::multiset<std::string> was_other;
  for (const Conf_Entry& e : running) {
    if (defines_service(e))
      was[e.name] = &e;
    else
      was_other.insert(e.normal);
  }
  std::unordered_map<std::string, const Conf_Entry*> now;
  was.reserve(running.size());
  now.reserve(next.size());
  for (const Conf_Entry& e : next)
    if (defines_service(e))
      now[e.name] = &e;

  // Removed ones first, in the reverse of the order they were opened in.
  for (size_t i = running.size(); i-- > 0;) {
    const Conf_Entry& e = running[i];
    if (defines_service(e) && was[e.name] == &e && now.count(e.name) == 0) {
      plan.services.push_back(Service_Step{SERVICE_REMOVED, e.name, nullptr, REOPEN_NONE});
      plan.finalise.push_back(e.name);
      ++plan.removed;
    }
  }
  std::unordered_set<std::string> opening;
  for (const Conf_Entry& e : next) {
    if (!defines_service(e) || now[e.name] != &e)
      continue;
    auto const w = was.find(e.name);
    if (w == was.end()) {
      plan.services.push_back(Service_Step{SERVICE_OPENED, e.name, &e, REOPEN_NONE});
      ++plan.opened;
    } else if (w->second->normal != e.normal || new_code.count(e.name) != 0) {
      Reopen_Reason const why = w->second->normal != e.normal ? why_changed(*w->second, e)
                                                               : REOPEN_NEW_CODE;
      plan.services.push_back(Service_Step{SERVICE_REOPENED, e.name, &e, why});
      plan.finalise.push_back(e.name);
      ++plan.reopened;
    } else {
      plan.services.push_back(Service_Step{SERVICE_KEPT, e.name, &e, REOPEN_NONE});
      ++plan.kept;
      continue;
    }
    opening.insert(e.name);
  }
  for (const Conf_Entry& e : next) {
    bool carry_out;
    if (defines_service(e)) {
      carry_out = now[e.name] == &e && opening.count(e.name) != 0;
    } else {
      std::multiset<std::string>::iterator const same = was_other.find(e.normal);
      carry_out = same == was_other.end() || opening.count(e.name) != 0;
      if (same != was_other.end())
        was_other.erase(same);
    }
    if (carry_out)
      plan.apply.push_back(&e);
  }
  return plan;
}
