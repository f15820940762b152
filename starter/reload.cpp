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
#include "starter/config/stop_signal_guard.h"
#include "starter/rollback.h"

void for_each_loaded(const std::function<void(const std::string&, const std::string&)>& f)
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

namespace {

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
  int errors = 0;
  for (const std::string& name : plan.finalise)
    errors += remove_service(name);
  errors += unload_old_code(new_code_files, config, running, outcome);
  // Each failure is logged as it happens, with its file, line and reason.
  Stop_Signal_Pass const pass;
  for (const Conf_Entry* e : plan.apply)
    errors += apply_directive(*e, config.texts, &outcome.failures);
  return errors;
}

/// One record for each service @a plan touched.
void record_plan(const Reload_Plan& plan, Reload_Outcome& outcome)
{
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
}

/// The directives of @a entries that name @a name, each as the Configurator reads it.
std::vector<std::string> directives_naming(const std::vector<Conf_Entry>& entries,
                                           const std::string& name)
{
  std::vector<std::string> normal;
  for (const Conf_Entry& e : entries)
    if (e.name == name)
      normal.push_back(e.keyword == "stream" ? std::string() : e.normal);
  return normal;
}

/// The services a reload in @a mode changed: those @a plan names, or each that @a config
/// defines and each whose library holds new code. In the "all" mode, a service re-opened from
/// the directives it ran from before (@a open_before), which opened again, is what a roll-back
/// would open: it is left as it is, rather than initialised a second time.
std::vector<std::string> touched_services(Reload_Mode mode, const Reload_Plan& plan,
                                          const Checked_Config& config,
                                          const std::set<std::string>& new_code,
                                          const Running_Config& running,
                                          const std::set<std::string>& open_before,
                                          const Open_Failures& failures)
{
  std::vector<std::string> touched = plan.finalise;
  for (const Conf_Entry* e : plan.apply)
    touched.push_back(e->name);
  if (mode == RELOAD_ALL) {
    touched.assign(new_code.begin(), new_code.end());
    std::set<std::string> const open = services_in_repository();
    for (const Conf_Entry& e : config.entries) {
      bool const failed = std::any_of(failures.begin(), failures.end(),
                                      [&e](const Open_Failure& f) { return f.name == e.name; });
      std::vector<std::string> const now = directives_naming(config.entries, e.name);
      if (failed || open.count(e.name) == 0 || open_before.count(e.name) == 0 ||
          now != directives_naming(running.entries, e.name) ||
          std::count(now.begin(), now.end(), std::string()) != 0)
        touched.push_back(e.name);
    }
  }
  // Each once, in the order first touched.
  std::vector<std::string> once;
  std::set<std::string> seen;
  for (const std::string& n : touched)
    if (seen.insert(n).second)
      once.push_back(n);
  return once;
}

/// Stamps each library file loaded anew, keeping the stamp of each already known.
void stamp_loaded(Running_Config& running)
{
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
}

}  // namespace

void note_running(Checked_Config& config, Running_Config& running)
{
  // Taken, not copied: the configuration is not applied again, and a copy of each directive
  // costs memory for as long as the services run.
  running.entries = std::move(config.entries);
  running.texts = std::move(config.texts);
  running.directives = config.parts.directives;
  config.entries.clear();
  config.texts.clear();
  // Stamped once loaded: a file replaced later is new code at the next reload.
  stamp_loaded(running);
  config.libraries.reset();
}

void release_check_loads(Checked_Config& config)
{
  if (!config.libraries)
    return;
  std::set<std::string> in_use;
  for_each_loaded([&in_use](const std::string&, const std::string& file) { in_use.insert(file); });
  config.libraries->release_all(in_use);
  config.libraries.reset();
}

bool refuse_overwritten(const Library_Stamps& stamps, std::vector<Conf_Problem>& problems)
{
  std::vector<std::string> const files = overwritten_libraries(stamps);
  for (const std::string& f : files) {
    problems.push_back(Conf_Problem{
        f, 0, "overwritten in place while its services run, so it is not opened again: "
              "install the new copy as a new file (install, or copy to a temporary name and "
              "mv it into place), then reload"});
    problems.push_back(Conf_Problem{
        f, 0, "the running copy may be damaged by the overwrite: a restart of the host is "
              "advised", CONF_WARNING});
  }
  return !files.empty();
}

Reload_Outcome reload_services(const Config_Source& source, Reload_Mode mode,
                               Running_Config& running,
                               const std::function<void(Checked_Config&)>& before_apply)
{
  Reload_Outcome outcome;
  Checked_Config& config = outcome.config;
  // The check would open the library again, and the dynamic loader hand back the copy whose
  // pages the overwrite changed.
  if (refuse_overwritten(running.stamps, config.problems))
    config.errors = static_cast<int>(config.problems.size() / 2);
  else
    assemble_and_check(source, false, config);
  if (config.errors != 0) {
    release_check_loads(config);
    outcome.errors = config.errors;
    string_sprintf(outcome.summary, "Reload refused: %d error%s; the running services are unchanged",
                   outcome.errors, outcome.errors == 1 ? "" : "s");
    return outcome;
  }

  if (before_apply)
    before_apply(config);
  std::set<std::string> new_code;
  Library_Names new_code_files;
  find_new_code(running, new_code, new_code_files);
  std::set<std::string> const open_before = services_in_repository();
  // A service the running configuration defines that is not open failed: it is tried again.
  std::set<std::string> not_open;
  for (const Conf_Entry& e : running.entries)
    if (defines_service(e) && open_before.count(e.name) == 0)
      not_open.insert(e.name);
  // What is applied is the text that was checked: a file changed or replaced (by a FIFO, say)
  // since cannot slip in, and none is opened again.
  outcome.applied = true;
  int errors = 0;
  Reload_Plan plan;
  if (mode == RELOAD_CHANGED) {
    plan = plan_reload(running.entries, config.entries, new_code, not_open);
    errors = apply_plan(plan, new_code_files, config, running, outcome);
  } else {
    for (const std::string& name : new_code)
      errors += remove_service(name);
    errors += unload_old_code(new_code_files, config, running, outcome);
    int const r = process_service_config_files(config, &outcome.failures);
    outcome.stopped = r < 0;
    errors += r < 0 ? 1 : r;
  }
  if (!outcome.failures.empty()) {
    // Applied completely or not at all: what this reload changed is put back.
    Rollback_Outcome const undone =
        roll_back(touched_services(mode, plan, config, new_code, running, open_before,
                                  outcome.failures),
                  open_before, running);
    stamp_loaded(running);
    release_check_loads(config);
    outcome.rolled_back = true;
    outcome.errors = static_cast<int>(outcome.failures.size()) + undone.errors;
    outcome.open = open_service_count();
    outcome.summary = rollback_summary(outcome.failures, undone);
    return outcome;
  }
  if (mode == RELOAD_CHANGED)
    record_plan(plan, outcome);
  else
    for (const std::string& name : new_code)
      outcome.records.push_back("Reload: re-opened " + name + ": its library changed");
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
