// The answer to "status", read off the Service Repository and the host's record.
#include "starter/control/status.h"

#include <ace/OS_NS_unistd.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "starter/config/repository.h"
#include "starter/listeners.h"
#include "starter/stall_watch.h"
#include "starter/version.h"

std::string iso_time(time_t t)
{
  if (t == 0)
    return std::string();
  struct tm tm;
  char text[32];
  if (gmtime_r(&t, &tm) == 0 || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
    return std::string();
  return text;
}

/// The kind of service @a t holds, as its directive spells it.
static const char* type_name(const ACE_Service_Type& t)
{
  const ACE_Service_Type_Impl* const impl = t.type();
  switch (impl != 0 ? impl->service_type() : -1) {
    case ACE_Service_Type::SERVICE_OBJECT: return "Service_Object";
    case ACE_Service_Type::MODULE: return "Module";
    case ACE_Service_Type::STREAM: return "STREAM";
    default: return "unknown";
  }
}

/// The service's own description, one line; empty when it gives none.
static std::string info_text(const ACE_Service_Type& t)
{
  const ACE_Service_Type_Impl* const impl = t.type();
  // The buffer is the service's to fill: ACE's services copy into one they are given, at most
  // its length.
  ACE_TCHAR buffer[1024] = {0};
  ACE_TCHAR* p = buffer;
  if (impl == 0 || impl->info(&p, sizeof buffer) < 0)
    return std::string();
  std::string text(p == buffer ? buffer : "");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  for (char& c : text)
    if (c == '\n' || c == '\t')
      c = ' ';
  return text;
}

nlohmann::json control_status(const Host_Record& record, time_t now, bool all, bool with_services)
{
  nlohmann::json host = {
      {"pid", static_cast<long>(ACE_OS::getpid())},
      {"version", STARTER_PACKAGE_VERSION},
      {"revision", STARTER_REVISION},
      {"reactor", record.reactor != 0 ? record.reactor : "default"},
      {"threads", record.threads > 1 ? record.threads : 1},
      {"started", iso_time(record.started)},
      {"uptime_seconds", static_cast<long>(now - record.started)},
      {"reload_mode", record.reload_mode},
      {"reloads", record.last_reload.count},
  };
  if (record.last_reload.count != 0)
    host["last_reload"] = {{"result", record.last_reload.result},
                           {"summary", record.last_reload.summary},
                           {"messages", record.last_reload.messages},
                           {"at", iso_time(record.last_reload.at)}};
  std::string const held = loop_stall();
  if (!held.empty())
    host["loop"] = held;
  nlohmann::json services = nlohmann::json::array();
  if (!with_services) {
    host["services_changing"] = true;
    return nlohmann::json{{"host", std::move(host)}, {"services", std::move(services)}};
  }
  for_each_service([&](const ACE_Service_Type* t) {
    std::map<std::string, Service_Site>::const_iterator const site = record.sites.find(t->name());
    if (site == record.sites.end() && !all)
      return;
    // A static service the configuration never opened is held in the repository inactive.
    nlohmann::json s = {{"name", t->name()},
                        {"type", type_name(*t)},
                        {"state", t->active() ? "active"
                                  : site != record.sites.end() ? "suspended"
                                                                : "inactive"},
                        {"info", info_text(*t)}};
    if (site != record.sites.end()) {
      s["directive"] = *site->second.where + ":" + std::to_string(site->second.line);
      s["arguments"] = site->second.arguments;
      s["opened"] = iso_time(site->second.opened);
    } else {
      // A service the configuration does not name: a static one ACE opened by itself.
      s["directive"] = nullptr;
      s["arguments"] = nullptr;
      s["opened"] = iso_time(record.started);
    }
    services.push_back(std::move(s));
  });
  // A service the configuration names that is not in the repository failed to open.
  for (const auto& site : record.sites) {
    if (ACE_Service_Repository::instance()->find(site.first.c_str(), 0, false) >= 0)
      continue;
    std::map<std::string, std::string>::const_iterator const f = record.failures.find(site.first);
    services.push_back({{"name", site.first},
                        {"type", nullptr},
                        {"state", "failed"},
                        {"info", f != record.failures.end() ? f->second : "it did not open"},
                        {"directive", *site.second.where + ":" + std::to_string(site.second.line)},
                        {"arguments", site.second.arguments},
                        {"opened", nullptr}});
  }
  for (const Quarantined_Service& q : record.quarantined)
    services.push_back({{"name", q.service},
                        {"type", "Service_Object"},
                        {"state", q.released ? "released" : "quarantined"},
                        {"info", ""},
                        {"directive", q.where + ":" + std::to_string(q.line)},
                        {"arguments", nullptr},
                        {"opened", nullptr},
                        {"deaths", q.deaths},
                        {"last_death", last_death_text(q)}});
  nlohmann::json listeners = nlohmann::json::array();
  for (const Held_Listener& l : held_listeners())
    listeners.push_back({{"address", l.address},
                         {"service", l.claimed ? (l.service.empty() ? "?" : l.service)
                                               : "unclaimed"}});
  return nlohmann::json{{"host", std::move(host)}, {"services", std::move(services)},
                        {"listeners", std::move(listeners)}};
}
