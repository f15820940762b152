// The restart of one named service from its current directive.
#include "starter/restart.h"

#include <ace/DLL.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "starter/config/apply.h"
#include "starter/config/repository.h"
#include "starter/config/compare.h"
#include "starter/fd_store.h"
#include "starter/config/grammar.h"

/// The last directive of @a entries that defines @a name, or null.
static const Conf_Entry* definition(const std::vector<Conf_Entry>& entries, const std::string& name)
{
  const Conf_Entry* found = nullptr;
  for (const Conf_Entry& e : entries)
    if (defines_service(e) && e.name == name)
      found = &e;
  return found;
}

/// Applies each "suspend" or "resume" directive of @a entries (texts in @a texts) for @a name.
static void apply_state(const std::string& name, const std::vector<Conf_Entry>& entries,
                        const Conf_Texts& texts)
{
  for (const Conf_Entry& e : entries)
    if (e.name == name && (e.keyword == "suspend" || e.keyword == "resume"))
      apply_directive(e, texts);
}

Restart_Outcome restart_service(const std::string& name, const Running_Config& running)
{
  Restart_Outcome outcome;
  // The "-S" directives, read as the start-up read them, each its own text. A name is defined
  // once: in the files, or else there.
  std::vector<Conf_Entry> command_line;
  Conf_Texts command_line_texts;
  for (const std::string& d : running.directives) {
    std::string const where = "-S '" + d + "'";
    std::vector<Conf_Problem> problems;
    read_directives(d, where, problems, nullptr, &command_line);
    command_line_texts[where] = d;
  }
  const Conf_Entry* entry = definition(running.entries, name);
  const Conf_Texts* texts = &running.texts;
  if (entry == nullptr) {
    entry = definition(command_line, name);
    texts = &command_line_texts;
  }
  if (entry == nullptr) {
    outcome.message = "no service " + name + " in the configuration";
    return outcome;
  }
  // Named as the status names it.
  std::string const at =
      (texts == &running.texts ? entry->where : "-S") + ":" + std::to_string(entry->line);
  // The library stays loaded across the restart: its static constructors do not run again.
  ACE_DLL hold;
  const ACE_Service_Type* type = nullptr;
  if (ACE_Service_Repository::instance()->find(name.c_str(), &type, false) >= 0 && type != 0)
    hold = type->dll();
  std::string const file = loaded_file(hold);
  Library_Stamps::const_iterator const was = running.stamps.find(file);
  Library_Stamp now;
  if (was != running.stamps.end() && stamp_file(file, now) && overwritten_in_place(was->second, now)) {
    outcome.message = name + " not restarted: its library " + file + " was overwritten in place; "
                      "install the new copy as a new file, then reload";
    return outcome;
  }
  outcome.errors = remove_service(name);
  outcome.errors += apply_directive(*entry, *texts, &outcome.failures);
  outcome.ok = outcome.failures.empty() &&
               ACE_Service_Repository::instance()->find(name.c_str(), &type, false) >= 0;
  // A service the configuration suspends is suspended again.
  if (outcome.ok) {
    apply_state(name, running.entries, running.texts);
    apply_state(name, command_line, command_line_texts);
  }
  compact_repository();
  settle_listeners();
  outcome.message = outcome.ok ? "Restarted " + name + " from " + at
                               : name + " failed to open again from " + at;
  if (!outcome.failures.empty())
    outcome.message += ": " + outcome.failures.front().why;
  else if (outcome.errors != 0)
    outcome.message += " with " + std::to_string(outcome.errors) + " error" +
                       (outcome.errors == 1 ? "" : "s") + " (logged)";
  return outcome;
}
