// The host's record for the control socket: the running configuration's directive sites and
// the reloads so far.
#include "starter/host_record.h"

#include "starter/config/grammar.h"

/// Adds the service directives of @a text, from @a where, to @a sites, where not yet there.
static void add_sites(std::map<std::string, Service_Site>& sites, const std::string& text,
                      const std::string& where, time_t now)
{
  for (Conf_Service& s : read_service_directives(text))
    if (sites.count(s.name) == 0)
      sites[s.name] = Service_Site{where, s.line, std::move(s.arguments), std::move(s.directive), now};
}

void Host_Record::configured(const Checked_Config& config, time_t now)
{
  sites.clear();
  // The Configurator reads the files first, then the "-S" directives.
  for (const std::string& f : config.parts.files) {
    Conf_Texts::const_iterator const t = config.texts.find(f);
    if (t != config.texts.end())
      add_sites(sites, t->second, f, now);
  }
  for (const std::string& d : config.parts.directives)
    add_sites(sites, d, "-S", now);
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
