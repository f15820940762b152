// The control commands that run with the loop quiesced: what each does and how it answers.
#include "starter/control/commands.h"

#include <chrono>
#include <cstring>
#include <iterator>
#include <mutex>

#include <ace/OS_NS_time.h>
#include <ace/Reactor.h>
#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"
#include "starter/config/repository.h"
#include "starter/control/status.h"
#include "starter/config/pipeline.h"
#include "starter/host.h"
#include "starter/restart.h"
#include "starter/suspension.h"

namespace {

nlohmann::json answer(int exit, const char* result, const std::string& summary,
                      const std::vector<std::string>& messages = std::vector<std::string>())
{
  return nlohmann::json{{"ok", exit != 1},   {"exit", exit},         {"result", result},
                        {"summary", summary}, {"messages", messages}};
}

nlohmann::json reload(Host& host)
{
  Reload_Outcome const o = host.reload();
  std::vector<std::string> messages = problem_messages(o.config.problems);
  if (!o.applied)
    return answer(1, "refused", o.summary, messages);
  for (const Open_Failure& f : o.failures)
    messages.push_back(f.site + ": " + f.name + " did not open: " + f.why);
  if (o.rolled_back)
    return answer(1, "rolled back", o.summary, messages);
  // The Configurator's own records say why; these say which directive it was.
  for (const auto& site : host.record().sites)
    if (ACE_Service_Repository::instance()->find(site.first.c_str(), 0, false) < 0)
      messages.push_back(*site.second.where + ":" + std::to_string(site.second.line) +
                         ": service " + site.first + " is not open");
  if (o.errors == 0)
    return answer(0, "applied", o.summary, messages);
  return answer(2, "applied with errors", o.summary, messages);
}

nlohmann::json check(Host& host)
{
  Checked_Config config;
  host.check_now(config);
  std::vector<std::string> const messages = problem_messages(config.problems);
  size_t const files = config.parts.files.size();
  std::string const counted = std::to_string(files) + " file" + (files == 1 ? "" : "s");
  if (config.errors != 0)
    return answer(1, "refused", "a reload would be refused: " + std::to_string(config.errors) +
                                    " error" + (config.errors == 1 ? "" : "s") + " in " + counted,
                  messages);
  return answer(0, "passed", "a reload would apply " + counted, messages);
}

/// Suspends (@a suspend) or resumes the service @a name, one the configuration opened (named in
/// @a sites).
nlohmann::json suspend_or_resume(const std::string& name, bool suspend,
                                 const std::map<std::string, Service_Site>& sites)
{
  const char* const verb = suspend ? "suspend" : "resume";
  const ACE_Service_Type* t = 0;
  if (ACE_Service_Repository::instance()->find(name.c_str(), &t, false) < 0)
    return answer(1, "failed", "no service named '" + name + "'");
  // ACE's built-in entries that no directive opened have nothing to suspend or resume.
  if (sites.count(name) == 0)
    return answer(1, "failed", "'" + name + "' was opened by no directive of the configuration");
  if (t->active() != suspend)
    return answer(0, "unchanged", "'" + name + "' is already " + (suspend ? "suspended" : "active"));
  int const r = suspend ? ACE_Service_Config::suspend(name.c_str())
                        : ACE_Service_Config::resume(name.c_str());
  if (r != 0) {
    // ACE marks the entry before asking the service, which refused: put back the state the
    // service is in (active when asked to suspend, suspended when asked to resume).
    const_cast<ACE_Service_Type*>(t)->active(suspend);
  }
  confine_suspension();
  if (r != 0)
    return answer(1, "failed", std::string("'") + name + "' did not " + verb);
  return answer(0, suspend ? "suspended" : "resumed",
                std::string(suspend ? "suspended '" : "resumed '") + name + "'");
}

nlohmann::json restart(const Control_Request& r, Host& host)
{
  Restart_Outcome const done = host.restart(r.name);
  return answer(!done.ok ? 1 : done.errors != 0 ? 2 : 0,
                !done.ok ? "failed" : done.errors != 0 ? "restarted with errors" : "restarted",
                done.message);
}

nlohmann::json release(const Control_Request& r, Host& host)
{
  std::string message;
  bool const ok = host.release(r.name, message);
  return answer(ok ? 0 : 1, ok ? "released" : "failed", message);
}

/// What carries out each command of CONTROL_COMMANDS, by its word.
struct Handler
{
  const char* word;
  bool quiesced;  ///< run with the loop quiesced, and logged; else answered where it was read
  nlohmann::json (*run)(const Control_Request& r, Host& host);
};

const Handler handlers[] = {
    {"status", false,
     [](const Control_Request& q, Host& h) {
       // On the control socket's own thread: the services and the record are read only while
       // no reload or command changes them, and the answer does not wait long for one that does.
       std::unique_lock<std::recursive_timed_mutex> quiet(h.changing(), std::chrono::milliseconds(700));
       return control_status(h.record(), ACE_OS::time(0), q.all, quiet.owns_lock());
     }},
    {"reload", true, [](const Control_Request&, Host& h) { return reload(h); }},
    {"check", true, [](const Control_Request&, Host& h) { return check(h); }},
    {"suspend", true,
     [](const Control_Request& q, Host& h) { return suspend_or_resume(q.name, 1, h.record().sites); }},
    {"resume", true,
     [](const Control_Request& q, Host& h) { return suspend_or_resume(q.name, 0, h.record().sites); }},
    {"restart", true, restart},
    {"release", true, release},
};
static_assert(std::size(handlers) == std::size(CONTROL_COMMANDS), "a command without a handler");

const Handler* handler(const Control_Request& r)
{
  for (const Handler& h : handlers)
    if (std::strcmp(h.word, r.command->word) == 0)
      return &h;
  return nullptr;
}

}  // namespace

nlohmann::json control_refusal(const std::string& why)
{
  return nlohmann::json{{"ok", false}, {"exit", 1}, {"error", why}};
}

bool control_runs_quiesced(const Control_Request& r)
{
  return handler(r) == nullptr || handler(r)->quiesced;
}

nlohmann::json run_control_command(const Control_Request& r, Host& host, long uid)
{
  const Handler* const h = handler(r);
  if (h == nullptr)
    return control_refusal(std::string("'") + r.command->word + "' has no handler in this host");
  nlohmann::json const a = h->run(r, host);
  if (!h->quiesced)
    return a;
  std::string const summary = a.at("summary").get<std::string>();
  if (a.at("exit").get<int>() == 1)
    SCRT_LOG(-1, (LM_WARNING, "Control '%C%s%C' from uid %d: %C\n", r.command->word,
                  r.name.empty() ? "" : " ", r.name.c_str(), static_cast<int>(uid), summary.c_str()));
  else
    SCRT_LOG(0, (LM_NOTICE, "Control '%C%s%C' from uid %d: %C\n", r.command->word,
                 r.name.empty() ? "" : " ", r.name.c_str(), static_cast<int>(uid), summary.c_str()));
  return a;
}
