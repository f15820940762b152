// The Service Configurator applying a checked configuration, at start-up and on each reload.
#include "starter/config/apply.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_string.h>
#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"
#include "starter/deaths.h"
#include "starter/config/assemble.h"
#include "starter/listeners.h"
#include "starter/service_threads.h"
#include "starter/config/finalise.h"
#include "starter/config/repository.h"
#include "starter/config/stop_signal_guard.h"

namespace {

/// Counts the records ACE's parser logs for what it could not read ("[error N] on line N"),
/// which it leaves out of its own count, while the object lives in this thread.
class Parse_Error_Count : public ACE_Log_Msg_Callback
{
public:
  Parse_Error_Count() : msg_(ACE_Log_Msg::instance())
  {
    had_flag_ = msg_->flags() & ACE_Log_Msg::MSG_CALLBACK;
    old_ = msg_->msg_callback(this);
    msg_->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  ~Parse_Error_Count() override
  {
    msg_->msg_callback(old_);
    if (!had_flag_)
      msg_->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  void log(ACE_Log_Record& record) override
  {
    if (record.type() == LM_ERROR && ACE_OS::strstr(record.msg_data(), "] on line ") != 0)
      ++count;
    if (old_ != 0)
      old_->log(record);
  }
  int count = 0;

private:
  ACE_Log_Msg* msg_;
  ACE_Log_Msg_Callback* old_;
  unsigned long had_flag_;
};

bool is_loaded(const std::string& name)
{
  return ACE_Service_Repository::instance()->find(name.c_str(), 0, false) >= 0;
}

/// What a death while @a e opens blames, when the deaths file is kept.
bool blame_site(const Conf_Entry& e, Blame_Site& site)
{
  if (deaths_file().empty() || (e.keyword != "dynamic" && e.keyword != "static"))
    return false;
  site.service = e.name;
  site.directive = directive_hash(e.normal);
  site.library = e.library.empty() ? std::string() : loaded_file_of(e.library);
  site.stamped = !site.library.empty() && stamp_file(site.library, site.stamp);
  return true;
}

/// Logs that @a e of @a where did not open, for @a why, and adds it to @a failures.
void report_failure(const std::string& where, const Conf_Entry& e, const std::string& why,
                    Open_Failures* failures)
{
  SCRT_LOG(-1, (LM_ERROR, "%s:%d: %s %s: %s\n", where.c_str(), e.line, e.keyword.c_str(),
                e.name.c_str(), why.c_str()));
  if (failures != nullptr && (e.keyword == "dynamic" || e.keyword == "static" ||
                              e.keyword == "stream"))
    failures->push_back(Open_Failure{e.name, where + ":" + std::to_string(e.line), why});
}

const char* const NOT_OPENED =
    "it did not open: its factory made no object, or its init failed";

/// Whether the executable marks each dynamic service ACE opens (apply.h).
bool marks_available = false;

/// A run of "dynamic" directives handed to ACE in one text: which of them ACE has begun, told
/// by the marks, and what the host holds in the name of the one opening.
struct Run
{
  std::vector<const Conf_Entry*> entries;
  std::vector<Blame_Site> sites;  ///< one a directive, when the deaths file is kept
  std::vector<bool> begun;
  pthread_t thread;
  size_t next = 0;               ///< where the next directive's mark is looked for
  size_t opening = 0;            ///< the directive between its marks; size() when none
  size_t threw = 0;              ///< the directive an exception left; size() when none
  int depth = 0;                 ///< a service's init may open services of its own
  std::optional<Stop_Signal_Guard> stop_signals;
  std::optional<Service_Threads_Scope> threads;
};
// Read by the marks on any thread: a service's thread may open services of its own.
std::atomic<Run*> active_run{nullptr};

int apply_entry(const std::string& where, const std::string& text, const Conf_Entry& e,
                Open_Failures* failures);

/// Hands ACE the directives of @a run (all of @a text, from @a where) in one call, each
/// marked as it opens; a directive ACE did not reach is handed again on its own, one it
/// reached is never (its init ran). Returns the errors.
int apply_run(const std::string& where, const std::string& text, Run& run,
              Open_Failures* failures)
{
  size_t const n = run.entries.size();
  std::string directives;
  directives.reserve(run.entries.back()->end - run.entries.front()->begin + n);
  for (const Conf_Entry* e : run.entries) {
    directives.append(text, e->begin, e->end - e->begin);
    directives += '\n';
  }
  run.begun.assign(n, false);
  run.thread = pthread_self();
  run.opening = run.threw = n;
  int errors = 0;
  bool threw = false;
  std::string why;
  {
    Parse_Error_Count parse_errors;
    active_run.store(&run, std::memory_order_release);
    try {
      int const r = ACE_Service_Config::process_directive(directives.c_str());
      errors = std::max(r < 0 ? 1 : r, parse_errors.count);
    } catch (const std::exception& x) {
      threw = true;
      why = std::string("an exception was thrown while it opened: ") + x.what();
    } catch (...) {
      threw = true;
      why = "an exception was thrown while it opened";
    }
    active_run.store(nullptr, std::memory_order_release);
  }
  if (!threw && errors == 0 &&
      std::find(run.begun.begin(), run.begun.end(), false) == run.begun.end())
    return 0;
  int attributed = 0;
  for (size_t i = 0; i < n; ++i) {
    const Conf_Entry& e = *run.entries[i];
    if (!run.begun[i]) {
      attributed += apply_entry(where, text, e, failures);
    } else if (i == run.threw) {
      report_failure(where, e, why, failures);
      ++attributed;
    } else if (!is_loaded(e.name)) {
      report_failure(where, e, NOT_OPENED, failures);
      ++attributed;
    }
  }
  // What the run reported and no directive accounts for is counted all the same.
  return std::max(attributed, threw ? attributed : errors);
}

}  // namespace

void note_opening_marks()
{
  marks_available = true;
}

void dynamic_service_opening(const char* name)
{
  Run* const run = active_run.load(std::memory_order_acquire);
  if (run == nullptr || !pthread_equal(run->thread, pthread_self()) || run->depth++ > 0)
    return;
  size_t k = run->next;
  while (k < run->entries.size() && run->entries[k]->name != name)
    ++k;
  if (k == run->entries.size())
    return;  // none of the run's: the host holds nothing in its name
  run->next = k + 1;
  run->opening = k;
  run->begun[k] = true;
  const std::string& service = run->entries[k]->name;
  run->stop_signals.emplace(service);
  if (!run->sites.empty())
    prepare_opening(&run->sites[k]);
  listener_opening(service.c_str());
  run->threads.emplace(service);
}

void dynamic_service_opened()
{
  Run* const run = active_run.load(std::memory_order_acquire);
  if (run == nullptr || !pthread_equal(run->thread, pthread_self()) || run->depth == 0 ||
      --run->depth > 0 || run->opening == run->entries.size())
    return;
  if (std::uncaught_exceptions() > 0)
    run->threw = run->opening;
  run->opening = run->entries.size();
  run->threads.reset();
  listener_opening(0);
  if (!run->sites.empty())
    prepare_opening(nullptr);
  run->stop_signals.reset();
}

namespace {

/// Has the Configurator carry out @a e of @a text, from @a where; returns its errors, each
/// logged with the file, line, service and reason, and a service that did not open added to
/// @a failures.
int apply_entry(const std::string& where, const std::string& text, const Conf_Entry& e,
                Open_Failures* failures)
{
  std::string const directive = text.substr(e.begin, e.end - e.begin);
  std::string why;
  Stop_Signal_Guard const stop_signals(e.name);
  // ACE finalises the service a "dynamic" directive replaces, or a "remove" takes out, where
  // a fini that throws ends the process: the host takes it out first.
  bool found = false;
  int const fini_threw =
      e.keyword == "dynamic" || e.keyword == "remove" ? take_out_service(e.name, found) : 0;
  if (found && e.keyword == "remove")
    return fini_threw;
  int errors = 0;
  // A death while the directive is carried out (a fault in the service's init) is the service's.
  Blame_Site site;
  if (blame_site(e, site))
    prepare_opening(&site);
  {
    Parse_Error_Count parse_errors;
    // The listening sockets its init opens are held in its name, the threads it starts are its.
    listener_opening(e.name.c_str());
    Service_Threads_Scope const threads(e.name);
    // A service's init may throw: that is its own failure, not the host's.
    try {
      int const r = ACE_Service_Config::process_directive(directive.c_str());
      errors = std::max(r < 0 ? 1 : r, parse_errors.count);
      if (parse_errors.count > r)
        why = "the Service Configurator could not read the directive";
    } catch (const std::exception& x) {
      errors = 1;
      why = std::string("an exception was thrown while it opened: ") + x.what();
    } catch (...) {
      errors = 1;
      why = "an exception was thrown while it opened";
    }
    listener_opening(0);
  }
  prepare_opening(nullptr);
  if (errors == 0)
    return fini_threw;
  bool const loaded = is_loaded(e.name);
  if (why.empty() && e.keyword == "dynamic")
    why = loaded ? "it did not open in full" : NOT_OPENED;
  else if (why.empty() && e.keyword == "static")
    why = loaded ? "its init failed" : "no static service of that name is registered, or its "
                                       "init failed";
  else if (why.empty() && e.keyword == "stream")
    why = "the stream could not be made or changed in full";
  else if (why.empty())
    why = loaded ? "the service refused to " + e.keyword : "no service of that name is loaded";
  report_failure(where, e, why, failures);
  return errors + fini_threw;
}

/// Carries out @a entries of @a text, from @a where, in order: a run of "dynamic" directives
/// of services not loaded, each named once, in one call to ACE where the marks tell which
/// service opens; every other directive on its own. Returns the errors.
int apply_entries(const std::string& where, const std::string& text,
                  const Conf_Entry* const* entries, size_t count, Open_Failures* failures)
{
  int errors = 0;
  Run run;
  std::unordered_set<std::string> named;
  auto const flush = [&]() {
    if (run.entries.size() == 1)
      errors += apply_entry(where, text, *run.entries[0], failures);
    else if (!run.entries.empty())
      errors += apply_run(where, text, run, failures);
    run.entries.clear();
    run.sites.clear();
    run.next = 0;
    named.clear();
  };
  for (size_t i = 0; i < count; ++i) {
    const Conf_Entry& e = *entries[i];
    bool const joins = marks_available && e.keyword == "dynamic" && !may_hold_service(e.name) &&
                       named.insert(e.name).second;
    if (!joins) {
      flush();
      // A name the run opened is in the repository now: this one takes it out first.
      errors += apply_entry(where, text, e, failures);
      continue;
    }
    run.entries.push_back(&e);
    Blame_Site site;
    if (blame_site(e, site)) {
      run.sites.resize(run.entries.size() - 1);
      run.sites.push_back(std::move(site));
    }
  }
  flush();
  return errors;
}

}  // namespace

int apply_text(const std::string& where, const std::string& text, Open_Failures* failures)
{
  std::vector<Conf_Problem> problems;
  std::vector<Conf_Entry> entries;
  read_directives(text, where, problems, nullptr, &entries);
  Stop_Signal_Pass const pass;
  std::vector<const Conf_Entry*> all;
  all.reserve(entries.size());
  for (const Conf_Entry& e : entries)
    all.push_back(&e);
  return apply_entries(where, text, all.data(), all.size(), failures);
}

/// Has the Configurator process @a config's files in order, each as the directives the check
/// read from its text: the text is not read again.
static int process_files(const Checked_Config& config, Open_Failures* failures)
{
  Stop_Signal_Pass const pass;
  int errors = 0;
  std::vector<Conf_Entry>::const_iterator e = config.entries.begin();
  std::vector<const Conf_Entry*> file;
  for (const std::string& f : config.parts.files) {
    Conf_Texts::const_iterator const t = config.texts.find(f);
    // A file the check could not read stops the Configurator, the directives after it too.
    if (t == config.texts.end())
      return -1;
    // The check read the files in this order: a file's directives are the run that names it.
    file.clear();
    for (; e != config.entries.end() && e->where == f; ++e)
      file.push_back(&*e);
    errors += apply_entries(f, t->second, file.data(), file.size(), failures);
  }
  return errors;
}

int open_service_config_vector(const Checked_Config& config, Open_Failures* failures)
{
  // The options alone: the files and the directives are carried out below, in the
  // Configurator's own order, and the default file is the check's to decide.
  std::vector<std::string> options = config.parts.options;
  std::vector<char*> p = pointer_vector(options);
  int errors = ACE_Service_Config::open(static_cast<int>(p.size() - 1), p.data(),
                                        ACE_LOCALHOST ":20012", false, true, true);
  if (errors < 0)
    return errors;
  int const r = process_files(config, failures);
  if (r < 0)
    return -1;
  errors += r;
  for (const std::string& d : config.parts.directives)
    errors += apply_text("-S '" + d + "'", d, failures);
  return errors;
}

int process_service_config_files(const Checked_Config& config, Open_Failures* failures)
{
  return process_files(config, failures);
}

int apply_directive(const Conf_Entry& e, const Conf_Texts& texts, Open_Failures* failures)
{
  Conf_Texts::const_iterator const t = texts.find(e.where);
  if (t == texts.end() || e.end > t->second.size())
    return 1;
  return apply_entry(e.where, t->second, e, failures);
}
