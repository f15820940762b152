// The host's record for the control socket: the running configuration's directive sites and
// the reloads so far.
#include "starter/host_record.h"

#include "starter/config/grammar.h"

/// Moves @a s, from @a where, to @a sites, where not yet there. A file's services share the
/// one string of its path, @a last, made when the file changes.
static void add_site(std::map<std::string, Service_Site>& sites, Conf_Service& s,
                     const std::string& where, std::shared_ptr<const std::string>& last,
                     time_t now)
{
  auto const at = sites.lower_bound(s.name);
  if (at != sites.end() && at->first == s.name)
    return;
  if (!last || *last != where)
    last = std::make_shared<const std::string>(where);
  sites.emplace_hint(at, std::move(s.name), Service_Site{last, s.line, std::move(s.arguments), now});
}

void Host_Record::configured(Checked_Config& config, time_t now,
                             const std::set<std::string>& kept)
{
  std::map<std::string, Service_Site> before;
  before.swap(sites);
  // The Configurator reads the files first, in the check's order, then the "-S" directives.
  std::shared_ptr<const std::string> last;
  for (Conf_Service& s : config.services)
    add_site(sites, s, s.where, last, now);
  std::vector<Conf_Service>().swap(config.services);
  std::string const command_line = "-S";
  for (const std::string& d : config.parts.directives)
    for (Conf_Service& s : read_service_directives(d))
      add_site(sites, s, command_line, last, now);
  for (auto& site : sites) {
    auto const was = before.find(site.first);
    if (was != before.end() && (*site.second.where == "-S" || kept.count(site.first) != 0))
      site.second.opened = was->second.opened;
  }
}

void Host_Record::reopened(const std::string& name, time_t now)
{
  std::map<std::string, Service_Site>::iterator const site = sites.find(name);
  if (site != sites.end())
    site->second.opened = now;
}

void Host_Record::reloaded(const char* result, const std::string& summary,
                           const std::vector<std::string>& messages, time_t now)
{
  ++last_reload.count;
  last_reload.result = result;
  last_reload.summary = summary;
  last_reload.messages = messages;
  last_reload.at = now;
}

void Host_Record::failed(const Open_Failures& f)
{
  for (const Open_Failure& x : f)
    failures[x.name] = x.site + ": " + x.why;
}
