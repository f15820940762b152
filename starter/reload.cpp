// The reload: what a SIGHUP (or the "-s" signal) does once the event loop carries it out.
// Check first, apply only a configuration that passes, and say how it went.
#include "starter/reload.h"

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include <ace/DLL.h>
#include <ace/DLL_Manager.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/string_sprintf.h"
#include "starter/config/apply.h"
#include "starter/config/repository.h"
#include "starter/config/compare.h"

namespace {

/// Calls @a f(name, loaded file) for each service in the repository loaded from a library.
template <class F>
void for_each_loaded(F f)
{
  // Services share a few libraries: each handle's file is asked of the loader once.
  std::vector<std::pair<void*, std::string>> files;
  for_each_service([&](const ACE_Service_Type* t) {
    void* const handle = t->dll().get_handle();
    if (handle == 0)
      return;
    auto known = std::find_if(files.begin(), files.end(), [handle](const auto& h) {
      return h.first == handle;
    });
    if (known == files.end())
      known = files.insert(files.end(), std::make_pair(handle, loaded_file(t->dll())));
    if (!known->second.empty())
      f(std::string(t->name()), known->second);
  });
}

/// A library file and the names its services' directives load it by.
typedef std::map<std::string, std::set<std::string>> Library_Names;

/// The services of @a running whose library file holds new code, and those files.
void find_new_code(const Running_Config& running, std::set<std::string>& names,
                   Library_Names& files)
{
  std::map<std::string, std::string> defined;
  for (const Conf_Entry& e : running.entries)
    if (defines_service(e))
      defined[e.name] = e.library;
  std::map<std::string, bool> changed;  // by file: one stat each, however many services
  for_each_loaded([&](const std::string& name, const std::string& file) {
    if (defined.count(name) == 0)
      return;
    std::map<std::string, bool>::iterator c = changed.find(file);
    if (c == changed.end()) {
      Library_Stamps::const_iterator const s = running.stamps.find(file);
      Library_Stamp now;
      c = changed.emplace(file, s != running.stamps.end() && stamp_file(file, now) &&
                                    now != s->second).first;
    }
    if (!c->second)
      return;
    names.insert(name);
    files[file].insert(defined[name]);
  });
}

/// Lets go of the check's hold on each of @a files, whose services are finalised, so that the
/// old copy is unloaded; one that stays loaded all the same is a problem in @a outcome.
/// Returns the count of those.
int unload_old_code(const Library_Names& files, Checked_Config& config, Running_Config& running,
                    Reload_Outcome& outcome)
{
  int stayed = 0;
  for (const auto& f : files) {
    if (config.libraries)
      config.libraries->release(f.first);
    running.stamps.erase(f.first);
    // ACE's loader keeps a library whose last reference went, as its policy (or the library's
    // own) may say; with no service left on the file, it is closed now.
    bool in_use = false;
    for_each_loaded([&](const std::string&, const std::string& file) { in_use |= file == f.first; });
    if (!in_use && still_loaded(f.first)) {
      ACE_DLL_Manager* const m = ACE_DLL_Manager::instance();
      u_long const policy = m->unload_policy();
      m->unload_policy(ACE_DLL_UNLOAD_POLICY_PER_PROCESS);
      for (const std::string& name : f.second)
        m->close_dll(name.c_str());
      m->unload_policy(policy);
    }
    if (!still_loaded(f.first))
      continue;
    outcome.problems.push_back(Conf_Problem{
        f.first, 0, "the old copy of this library stays loaded (another service, or the library "
              "itself, holds it): its services run the old code until the host restarts"});
    ++stayed;
  }
  return stayed;
}

std::string plural(int n, const char* one, const char* many)
{
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

/// The "changed" mode's apply: finalises and carries out only what @a plan says.
int apply_plan(const Reload_Plan& plan, const Library_Names& new_code_files,
               Checked_Config& config, Running_Config& running, Reload_Outcome& outcome)
{
  for (const std::string& name : plan.finalise)
    remove_service(name);
  int errors = unload_old_code(new_code_files, config, running, outcome);
  // Each failure is logged as it happens, with its file, line and reason.
  for (const Conf_Entry* e : plan.apply)
    errors += apply_directive(*e, config.texts);
  for (const Service_Step& s : plan.services) {
    if (s.change == SERVICE_OPENED)
      outcome.records.push_back("Reload: opened " + s.name + " from " + s.entry->where + ":" +
                                std::to_string(s.entry->line));
    else if (s.change == SERVICE_REOPENED && s.why == REOPEN_NEW_CODE)
      outcome.records.push_back("Reload: re-opened " + s.name + ": " + reopen_reason_text(s.why));
    else if (s.change == SERVICE_REOPENED)
      outcome.records.push_back("Reload: re-opened " + s.name + " (" + reopen_reason_text(s.why) +
                                ")");
    else if (s.change == SERVICE_REMOVED)
      outcome.records.push_back("Reload: removed " + s.name);
    else if (s.change == SERVICE_KEPT)
      outcome.kept.insert(s.name);
  }
  return errors;
}

}  // namespace

void note_running(Checked_Config& config, Running_Config& running)
{
  // Taken, not copied: the configuration is not applied again, and a copy of each directive
  // costs memory for as long as the services run.
  running.entries = std::move(config.entries);
  running.texts = std::move(config.texts);
  config.entries.clear();
  config.texts.clear();
  // Stamped once loaded: a file replaced later is new code at the next reload.
  Library_Stamps stamps;
  for_each_loaded([&](const std::string&, const std::string& file) {
    if (stamps.count(file) != 0)
      return;  // one stat a file, however many services it holds
    Library_Stamps::const_iterator const s = running.stamps.find(file);
    Library_Stamp now;
    if (s != running.stamps.end())
      stamps[file] = s->second;
    else if (stamp_file(file, now))
      stamps[file] = now;
  });
  running.stamps.swap(stamps);
  config.libraries.reset();
}

Reload_Outcome reload_services(const Config_Source& source, Reload_Mode mode,
                               Running_Config& running)
{
  Reload_Outcome outcome;
  Checked_Config& config = outcome.config;
  assemble_and_check(source, false, config);
  if (config.errors != 0) {
    outcome.errors = config.errors;
    string_sprintf(outcome.summary, "Reload refused: %d error%s; the running services are unchanged",
                   outcome.errors, outcome.errors == 1 ? "" : "s");
    return outcome;
  }

  std::set<std::string> new_code;
  Library_Names new_code_files;
  find_new_code(running, new_code, new_code_files);
  // What is applied is the text that was checked: a file changed or replaced (by a FIFO, say)
  // since cannot slip in, and none is opened again.
  outcome.applied = true;
  int errors = 0;
  Reload_Plan plan;
  if (mode == RELOAD_CHANGED) {
    plan = plan_reload(running.entries, config.entries, new_code);
    errors = apply_plan(plan, new_code_files, config, running, outcome);
  } else {
    for (const std::string& name : new_code) {
      remove_service(name);
      outcome.records.push_back("Reload: re-opened " + name + ": its library changed");
    }
    errors = unload_old_code(new_code_files, config, running, outcome);
    int const r = process_service_config_files(config);
    outcome.stopped = r < 0;
    errors += r < 0 ? 1 : r;
  }
  note_running(config, running);
  compact_repository();
  outcome.errors = errors;
  outcome.open = open_service_count();
  int const open = outcome.open;
  std::string const services = plural(open, "service", "services") + " open";
  std::string head = errors == 0 ? "Reloaded: " : "Reloaded with " + plural(errors, "error", "errors") + ": ";
  if (mode == RELOAD_CHANGED)
    head += std::to_string(plan.opened) + " opened, " + std::to_string(plan.reopened) +
            " re-opened, " + std::to_string(plan.removed) + " removed, " +
            std::to_string(plan.kept) + " unchanged; ";
  outcome.summary = head + services;
  return outcome;
}
