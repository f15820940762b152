// The Service Configurator's vector as the host hands it over, and the start-up check.
#include "starter/config_vector.h"

#include <algorithm>

#include "scrt/log_macros.h"
#include "starter/open_service_config.h"

/// The host's command line, for reassembling the vector on each reload.
static int host_argc = 0;
static char** host_argv = 0;
/// The directory the host started in, against which relative paths are taken.
static std::string host_base_dir;

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
  for (const Conf_Problem& p : problems)
    SCRT_LOG(-1, (LM_ERROR, "%s\n", format_problem(p).c_str()));
  return static_cast<int>(problems.size());
}

std::vector<std::string> drop_unreadable_dir_entries(int n, char** v,
                                                     std::vector<Conf_Problem>* dropped)
{
  // The "-f" words as written, references replaced: what is no such word came from a directory.
  std::vector<std::string> named;
  if (host_argv != 0)
    for (const std::string& w : find_service_config_option(host_argc, host_argv, 'f'))
      named.push_back(path_of_word(w.c_str(), host_base_dir.c_str()));
  std::vector<std::string> kept;
  for (int i = 0; i < n; ++i) {
    bool const target = i > 0 && kept.back() == "-f";
    std::string why;
    if (target && std::find(named.begin(), named.end(), v[i]) == named.end() &&
        !readable_conf_file(v[i], why)) {
      if (dropped != 0)
        dropped->push_back(Conf_Problem{v[i], 0, "cannot be read: " + why + "; left out"});
      kept.pop_back();
      continue;
    }
    kept.push_back(v[i]);
  }
  return kept;
}

std::vector<std::string> assemble_service_config(std::vector<Conf_Problem>* dropped)
{
  std::vector<std::string> v;
  if (host_argv != 0)
    open_service_config(host_argc, host_argv, true, [&v, dropped](int n, char** a) {
      v = drop_unreadable_dir_entries(n, a, dropped);
      return true;
    }, host_base_dir.c_str());
  return v;
}

bool check_service_config_at_start_up(int argc, char** argv, const char* base_dir, bool strict)
{
  host_argc = argc;
  host_argv = argv;
  host_base_dir = base_dir != 0 ? base_dir : "";
  std::vector<Conf_Problem> problems;
  std::vector<std::string> v = assemble_service_config(&problems);
  std::vector<char*> p = pointer_vector(v);
  check_service_config_vector(static_cast<int>(v.size()), p.data(), true, problems);
  int const errors = log_conf_problems(problems);
  if (errors == 0 || !strict)
    return true;
  SCRT_LOG(-1, (LM_ERROR, "The configuration has %d error%s, and --strict is given: stopping\n",
                errors, errors == 1 ? "" : "s"));
  return false;
}
