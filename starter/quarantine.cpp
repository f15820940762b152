// Services set aside for killing the host: the decision, and the host's glue around it.
#include "starter/quarantine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_time.h>

#include "scrt/log_macros.h"
#include "starter/config/compare.h"
#include "starter/control/status.h"

namespace {

/// Why the record @a r no longer counts, or null while it does.
const char* overtaken(const Death_Record& r, const std::map<std::string, uint64_t>& directives,
                      Stamp_Function stamp)
{
  std::map<std::string, uint64_t>::const_iterator const d = directives.find(r.site.service);
  // A record written without its directive (a service nothing was prepared for) matches any.
  if (d != directives.end() && r.site.directive != 0 && d->second != r.site.directive)
    return "its directive changed";
  Library_Stamp now;
  if (r.site.stamped && (!stamp(r.site.library, now) || now != r.site.stamp))
    return "its library changed";
  return 0;
}

}  // namespace

Quarantine_Decision decide_quarantine(const std::vector<Death_Record>& records,
                                      const std::map<std::string, uint64_t>& directives,
                                      const Quarantine_Policy& policy, time_t now,
                                      Stamp_Function stamp)
{
  Quarantine_Decision out;
  std::vector<const Death_Record*> counting;
  std::map<std::string, const char*> released;
  for (const Death_Record& r : records) {
    if (const char* const why = overtaken(r, directives, stamp)) {
      if (r.kind == Death_Record::QUARANTINE)
        released.emplace(r.site.service, why);
      continue;
    }
    counting.push_back(&r);
  }
  struct Tally
  {
    const Death_Record* quarantine = nullptr;
    const Death_Record* last = nullptr;
    unsigned recent = 0;  ///< deaths within the window
  };
  std::map<std::string, Tally> tally;
  for (const Death_Record* r : counting) {
    Tally& t = tally[r->site.service];
    if (r->kind == Death_Record::QUARANTINE) {
      t.quarantine = r;
      continue;
    }
    if (t.last == nullptr || r->at >= t.last->at)
      t.last = r;
    if (r->at > now - policy.window)
      ++t.recent;
  }
  std::set<std::string> aside;
  for (const auto& t : tally) {
    if (t.second.quarantine == nullptr && t.second.recent < policy.deaths)
      continue;
    aside.insert(t.first);
    Quarantined_Service q;
    q.service = t.first;
    q.deaths = t.second.recent;
    if (t.second.quarantine != nullptr)
      q.deaths = static_cast<unsigned>(std::max(0L, std::atol(t.second.quarantine->text.c_str())));
    if (t.second.last != nullptr)
      q.last = *t.second.last;
    out.quarantined.push_back(q);
  }
  for (const auto& r : released)
    if (aside.count(r.first) == 0)
      out.released.push_back(Quarantine_Release{r.first, r.second});
  // Kept: each quarantine and the last death it names, and the deaths still within the window.
  for (const Death_Record* r : counting) {
    const Tally& t = tally[r->site.service];
    bool const set_aside = aside.count(r->site.service) != 0;
    if (r->kind == Death_Record::QUARANTINE || r->at > now - policy.window ||
        (set_aside && r == t.last))
      out.kept.push_back(*r);
  }
  for (const Quarantined_Service& q : out.quarantined) {
    if (tally[q.service].quarantine != nullptr)
      continue;
    Death_Record r;
    r.kind = Death_Record::QUARANTINE;
    r.at = now;
    r.site = q.last.site;
    r.text = std::to_string(q.deaths) + " deaths within " + std::to_string(policy.window) + " s";
    out.kept.push_back(r);
  }
  return out;
}

std::string last_death_text(const Quarantined_Service& q)
{
  return iso_time(q.last.at) + ": " + q.last.text;
}

std::string quarantine_status(const std::vector<Quarantined_Service>& aside)
{
  std::string text;
  for (const Quarantined_Service& q : aside)
    text += (text.empty() ? "; quarantined: " : ", ") + q.service + " (" +
            std::to_string(q.deaths) + " deaths, the last " + last_death_text(q) + ")";
  return text;
}

// ---------------------------------------------------------------------------------------------
// The host's glue.

namespace {

bool opened = false;
Quarantine_Policy policy;

/// Reads the deaths file; false, logged, when it cannot be.
bool read_records(std::vector<Death_Record>& records)
{
  if (read_deaths_file(records))
    return true;
  SCRT_LOG(-1, (LM_ERROR, "Failed to read the deaths file '%C', errno=%d, %m: no service is "
                          "quarantined\n", deaths_file().c_str(), ACE_OS::last_error()));
  return false;
}

/// Rewrites the deaths file with @a records; a failure is logged.
void rewrite(const std::vector<Death_Record>& records)
{
  if (!rewrite_deaths_file(records))
    SCRT_LOG(-1, (LM_ERROR, "Failed to rewrite the deaths file '%C', errno=%d, %m\n",
                  deaths_file().c_str(), ACE_OS::last_error()));
}

}  // namespace

bool open_quarantine(const std::string& dir, const Quarantine_Policy& p)
{
  if (!open_deaths_file(dir)) {
    SCRT_LOG(-1, (LM_ERROR, "Failed to open the deaths file in the state directory '%C', "
                            "errno=%d, %m: no service will be quarantined\n",
                  dir.c_str(), ACE_OS::last_error()));
    return false;
  }
  policy = p;
  opened = true;
  return true;
}

bool quarantine_open()
{
  return opened;
}

std::vector<Quarantined_Service> set_aside_quarantined(Checked_Config& config)
{
  std::vector<Death_Record> records;
  if (!opened || !read_records(records))
    return std::vector<Quarantined_Service>();
  std::map<std::string, uint64_t> directives;
  std::map<std::string, const Conf_Entry*> sites;
  for (const Conf_Entry& e : config.entries)
    if (defines_service(e) && directives.count(e.name) == 0) {
      directives[e.name] = directive_hash(e.normal);
      sites[e.name] = &e;
    }
  Quarantine_Decision d = decide_quarantine(records, directives, policy, ACE_OS::time(0));
  for (const Quarantine_Release& r : d.released)
    SCRT_LOG(0, (LM_NOTICE, "Service %C is no longer quarantined: %C\n", r.service.c_str(),
                 r.why.c_str()));
  std::set<std::string> aside;
  for (Quarantined_Service& q : d.quarantined) {
    std::map<std::string, const Conf_Entry*>::const_iterator const e = sites.find(q.service);
    if (e == sites.end())
      continue;  // not configured: nothing to leave out, nothing to tell
    aside.insert(q.service);
    q.where = e->second->where;
    q.line = e->second->line;
    std::string const library = q.last.site.library.empty() ? std::string("its library")
                                                              : q.last.site.library;
    SCRT_LOG(-1, (LM_ERROR, "%C:%d: service %C is quarantined, not opened: blamed for %u deaths "
                            "of the host within %d s, the last %C. To bring it back: "
                            "'starterctl release %C' then a reload, or install a new build of "
                            "%C, or change its directive\n",
                  e->second->where.c_str(), e->second->line, q.service.c_str(), q.deaths,
                  static_cast<int>(policy.window), last_death_text(q).c_str(),
                  q.service.c_str(), library.c_str()));
  }
  if (d.kept.size() != records.size() || !d.released.empty() ||
      !std::equal(d.kept.begin(), d.kept.end(), records.begin(),
                  [](const Death_Record& a, const Death_Record& b) {
                    return format_death_record(a) == format_death_record(b);
                  }))
    rewrite(d.kept);
  if (aside.empty())
    return std::vector<Quarantined_Service>();
  config.entries.erase(std::remove_if(config.entries.begin(), config.entries.end(),
                                      [&](const Conf_Entry& e) { return aside.count(e.name) != 0; }),
                       config.entries.end());
  config.services.erase(std::remove_if(config.services.begin(), config.services.end(),
                                       [&](const Conf_Service& s) { return aside.count(s.name) != 0; }),
                        config.services.end());
  std::vector<Quarantined_Service> out;
  for (Quarantined_Service& q : d.quarantined)
    if (aside.count(q.service) != 0)
      out.push_back(std::move(q));
  return out;
}

void prepare_running_blame(const Running_Config& running)
{
  if (!opened)
    return;
  std::map<std::string, uint64_t> directives;
  for (const Conf_Entry& e : running.entries)
    if (defines_service(e) && directives.count(e.name) == 0)
      directives[e.name] = directive_hash(e.normal);
  std::vector<Blame_Site> sites;
  for_each_loaded([&](const std::string& name, const std::string& file) {
    Blame_Site s;
    s.service = name;
    s.library = file;
    Library_Stamps::const_iterator const stamp = running.stamps.find(file);
    s.stamped = stamp != running.stamps.end();
    if (s.stamped)
      s.stamp = stamp->second;
    std::map<std::string, uint64_t>::const_iterator const d = directives.find(name);
    s.directive = d != directives.end() ? d->second : 0;
    sites.push_back(std::move(s));
  });
  prepare_blame(sites);
}

bool release_quarantined(const std::string& name, std::string& message)
{
  std::vector<Death_Record> records;
  if (!opened) {
    message = "no state directory: nothing is quarantined";
    return false;
  }
  if (!read_deaths_file(records)) {
    message = "the deaths file '" + deaths_file() + "' cannot be read: " + std::strerror(errno);
    return false;
  }
  size_t const before = records.size();
  bool was_aside = false;
  records.erase(std::remove_if(records.begin(), records.end(), [&](const Death_Record& r) {
                  was_aside |= r.site.service == name && r.kind == Death_Record::QUARANTINE;
                  return r.site.service == name;
                }),
                records.end());
  if (records.size() == before) {
    message = "no death is recorded against '" + name + "'";
    return false;
  }
  if (!rewrite_deaths_file(records)) {
    message = "the deaths file '" + deaths_file() + "' cannot be rewritten: " + std::strerror(errno);
    return false;
  }
  message = "released '" + name + "'" + (was_aside ? " from quarantine" : ", its deaths forgotten") +
            ": a reload or restart opens it";
  return true;
}
