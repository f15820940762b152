// The Service Configurator's vector as the host hands it over, checked first, at start-up and on
// each reload.
#include "starter/config_vector.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Record.h>
#include <ace/OS_NS_string.h>
#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>

#include "scrt/log_macros.h"
#include "starter/open_service_config.h"

/// The host's command line, for reassembling the vector on each reload.
static int host_argc = 0;
static char** host_argv = 0;
/// The directory the host started in, against which relative paths are taken.
static std::string host_base_dir;
/// Whether warnings count as errors (--strict).
static bool host_strict = false;

std::vector<char*> pointer_vector(std::vector<std::string>& v)
{
  std::vector<char*> p;
  p.reserve(v.size() + 1);
  for (std::string& s : v)
    p.push_back(&s[0]);
  p.push_back(0);
  return p;
}

int log_conf_problems(const std::vector<Conf_Problem>& problems)
{
  int errors = 0;
  for (const Conf_Problem& p : problems) {
    bool const error = !p.warning || host_strict;
    SCRT_LOG(-1, (error ? LM_ERROR : LM_WARNING, "%s\n", format_problem(p).c_str()));
    errors += error ? 1 : 0;
  }
  return errors;
}

/// The "-f" words of the remembered command line, as the paths the vector holds: a "-f" target
/// that is none of them came from expanding a conf directory.
static std::vector<std::string> named_targets()
{
  std::vector<std::string> named;
  if (host_argv != 0)
    for (const std::string& w : find_service_config_option(host_argc, host_argv, 'f'))
      named.push_back(path_of_word(w.c_str(), host_base_dir.c_str()));
  return named;
}

int check_service_config_now(bool directives, std::vector<std::string>& v, Conf_Texts& texts,
                             std::vector<Conf_Problem>& problems)
{
  v.clear();
  if (host_argv == 0)
    return 0;
  open_service_config(host_argc, host_argv, true, [&v](int n, char** a) {
    v.assign(a, a + n);
    return true;
  }, host_base_dir.c_str());
  std::vector<std::string> const named = named_targets();
  // The Configurator's default file only when no "-f" is given at all, named like any other,
  // in the starting directory: a conf directory with no files means no services.
  if (named.empty()) {
    std::string const svc_conf = absolute_path(CONF_DEFAULT_FILE, host_base_dir.c_str());
    if (::access(svc_conf.c_str(), F_OK) == 0) {
      v.push_back("-f");
      v.push_back(svc_conf);
    }
  }
  for (const std::string& target : named) {
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        check_conf_dir(target, problems) == 0)
      SCRT_LOG(0, (LM_NOTICE, "%s holds no *.conf file: no services from it\n", target.c_str()));
  }
  std::vector<char*> p = pointer_vector(v);
  check_service_config_vector(static_cast<int>(v.size()), p.data(), directives, problems, &texts,
                              host_base_dir.c_str());
  // A conf-directory file the check could not read is left out, so that it does not stop the
  // Configurator from reading the files after it, and so is any file the Configurator would
  // crash or hang on. The check's own read decides: a file is opened once, not once more to
  // ask whether it can be.
  int refusing = 0;
  for (Conf_Problem& problem : problems) {
    refusing += !problem.warning || host_strict ? 1 : 0;
    // A reload applies nothing when there are errors: there is nothing to leave out.
    if (!directives)
      continue;
    bool const unreadable = problem.line == 0 && !problem.warning && !problem.unsafe &&
                            std::find(named.begin(), named.end(), problem.where) == named.end();
    if (!unreadable && !problem.unsafe)
      continue;
    // A "-S" directive's problems name it as "-S 'DIRECTIVE'".
    for (size_t i = 1; i < v.size(); ++i)
      if ((v[i - 1] == "-f" && v[i] == problem.where) ||
          (v[i - 1] == "-S" && "-S '" + v[i] + "'" == problem.where)) {
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(i - 1),
                v.begin() + static_cast<std::ptrdiff_t>(i + 1));
        texts.erase(problem.where);
        problem.message += "; left out";
        break;
      }
  }
  return refusing;
}

bool check_service_config_at_start_up(int argc, char** argv, const char* base_dir, bool strict,
                                      std::vector<std::string>& v, Conf_Texts& texts)
{
  host_argc = argc;
  host_argv = argv;
  host_base_dir = base_dir != 0 ? base_dir : "";
  host_strict = strict;
  std::vector<Conf_Problem> problems;
  check_service_config_now(true, v, texts, problems);
  int const errors = log_conf_problems(problems);
  if (errors == 0 || !strict)
    return true;
  SCRT_LOG(-1, (LM_ERROR, "The configuration has %d error%s, and --strict is given: stopping\n",
                errors, errors == 1 ? "" : "s"));
  return false;
}

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

/// Has the Configurator carry out @a e of @a text, from @a where; returns its errors, each
/// logged with the file, line, service and reason.
int apply_entry(const std::string& where, const std::string& text, const Conf_Entry& e)
{
  std::string const directive = text.substr(e.begin, e.end - e.begin);
  std::string why;
  int errors = 0;
  {
    Parse_Error_Count parse_errors;
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
  }
  if (errors == 0)
    return 0;
  bool const loaded = is_loaded(e.name);
  if (why.empty() && e.keyword == "dynamic")
    why = loaded ? "it did not open in full" : "it did not open: its factory made no object, or "
                                                "its init failed";
  else if (why.empty() && e.keyword == "static")
    why = loaded ? "its init failed" : "no static service of that name is registered, or its "
                                       "init failed";
  else if (why.empty() && e.keyword == "stream")
    why = "the stream could not be made or changed in full";
  else if (why.empty())
    why = loaded ? "the service refused to " + e.keyword : "no service of that name is loaded";
  SCRT_LOG(-1, (LM_ERROR, "%s:%d: %s %s: %s\n", where.c_str(), e.line, e.keyword.c_str(),
                e.name.c_str(), why.c_str()));
  return errors;
}

}  // namespace

int apply_text(const std::string& where, const std::string& text)
{
  std::vector<Conf_Problem> problems;
  std::vector<Conf_Entry> entries;
  read_directives(text, where, problems, nullptr, &entries);
  int errors = 0;
  for (const Conf_Entry& e : entries)
    errors += apply_entry(where, text, e);
  return errors;
}

int open_service_config_vector(std::vector<std::string>& v, const Conf_Texts& texts)
{
  // The vector less its "-f" and "-S" words, which are carried out below, in the Configurator's
  // own order: the files, then the directives.
  std::vector<std::string> options;
  std::vector<std::string> files;
  std::vector<std::string> directives;
  // The assembled vector spells each option as a word of its own, its argument the next word.
  for (size_t i = 0; i < v.size(); ++i) {
    bool const with_arg = i > 0 && i + 1 < v.size() &&
                          (v[i] == "-f" || v[i] == "-S" || v[i] == "-k" || v[i] == "-s");
    if (with_arg && (v[i] == "-f" || v[i] == "-S")) {
      (v[i] == "-f" ? files : directives).push_back(v[i + 1]);
    } else {
      options.push_back(v[i]);
      if (with_arg)
        options.push_back(v[i + 1]);
    }
    if (with_arg)
      ++i;
  }
  std::vector<char*> p = pointer_vector(options);
  // The default file, when it is read, is in the vector already, as checked.
  int errors = ACE_Service_Config::open(static_cast<int>(p.size() - 1), p.data(),
                                        ACE_LOCALHOST ":20012", false, true, true);
  if (errors < 0)
    return errors;
  int const r = process_service_config_files(files, texts);
  if (r < 0)
    return -1;
  errors += r;
  for (const std::string& d : directives)
    errors += apply_text("-S '" + d + "'", d);
  return errors;
}

int process_service_config_files(const std::vector<std::string>& files, const Conf_Texts& texts)
{
  int errors = 0;
  for (const std::string& f : files) {
    Conf_Texts::const_iterator const t = texts.find(f);
    // A file the check could not read stops the Configurator, the directives after it too.
    if (t == texts.end())
      return -1;
    errors += apply_text(f, t->second);
  }
  return errors;
}
