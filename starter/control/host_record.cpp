// The host's record for the control socket: the running configuration's directive sites and
// the reloads so far.
#include "starter/control/host_record.h"

#include <ace/Service_Config.h>

#include "starter/conf_grammar.h"

Host_Record& host_record()
{
  static Host_Record record;
  return record;
}

/// Adds the service directives of @a text, from @a where, to @a sites, where not yet there.
static void add_sites(std::map<std::string, Service_Site>& sites, const std::string& text,
                      const std::string& where, time_t now)
{
  for (Conf_Service& s : read_service_directives(text))
    if (sites.count(s.name) == 0)
      sites[s.name] = Service_Site{where, s.line, std::move(s.arguments), std::move(s.directive), now};
}

void Host_Record::configured(const std::vector<std::string>& v, const Conf_Texts& texts, time_t now)
{
  sites.clear();
  bool any_file = false;
  // The Configurator reads the files first, then the "-S" directives.
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i - 1] == "-f") {
      any_file = true;
      Conf_Texts::const_iterator const t = texts.find(v[i]);
      if (t != texts.end())
        add_sites(sites, t->second, v[i], now);
    }
  if (!any_file) {
    Conf_Texts::const_iterator const t = texts.find(ACE_DEFAULT_SVC_CONF);
    if (t != texts.end())
      add_sites(sites, t->second, t->first, now);
  }
  for (size_t i = 1; i < v.size(); ++i)
    if (v[i - 1] == "-S")
      add_sites(sites, v[i], "-S", now);
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
