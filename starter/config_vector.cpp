// The Service Configurator's vector as the host hands it over, checked first, at start-up and on
// each reload.
#include "starter/config_vector.h"

#include <algorithm>

#include <ace/Service_Config.h>

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
  std::vector<char*> p = pointer_vector(v);
  check_service_config_vector(static_cast<int>(v.size()), p.data(), directives, problems, &texts);
  // A conf-directory file the check could not read is left out, so that it does not stop the
  // Configurator from reading the files after it. The check's own read decides: a file is
  // opened once, not once more to ask whether it can be.
  std::vector<std::string> const named = named_targets();
  int left_out = 0;
  for (Conf_Problem& problem : problems) {
    if (problem.line != 0 || std::find(named.begin(), named.end(), problem.where) != named.end())
      continue;
    for (size_t i = 1; i < v.size(); ++i)
      if (v[i] == problem.where && v[i - 1] == "-f") {
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(i - 1),
                v.begin() + static_cast<std::ptrdiff_t>(i + 1));
        problem.message += "; left out";
        ++left_out;
        break;
      }
  }
  return static_cast<int>(problems.size()) - left_out;
}

bool check_service_config_at_start_up(int argc, char** argv, const char* base_dir, bool strict,
                                      std::vector<std::string>& v, Conf_Texts& texts)
{
  host_argc = argc;
  host_argv = argv;
  host_base_dir = base_dir != 0 ? base_dir : "";
  std::vector<Conf_Problem> problems;
  check_service_config_now(true, v, texts, problems);
  int const errors = log_conf_problems(problems);
  if (errors == 0 || !strict)
    return true;
  SCRT_LOG(-1, (LM_ERROR, "The configuration has %d error%s, and --strict is given: stopping\n",
                errors, errors == 1 ? "" : "s"));
  return false;
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
  std::vector<char*> p = pointer_vector(files.empty() ? v : options);
  // Without "-f" the Configurator reads its default file itself, as it always has.
  int errors = ACE_Service_Config::open(static_cast<int>(p.size() - 1), p.data(),
                                        ACE_LOCALHOST ":20012", false, !files.empty(), true);
  if (files.empty() || errors < 0)
    return errors;
  int const r = process_service_config_files(files, texts);
  if (r < 0)
    return -1;
  errors += r;
  for (const std::string& d : directives) {
    int const rd = ACE_Service_Config::process_directive(d.c_str());
    errors += rd < 0 ? 1 : rd;
  }
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
    // A text with a NUL in it is left to the Configurator's own reading of the file.
    int const r = t->second.find('\0') == std::string::npos
                      ? process_service_config_text(t->second)
                      : ACE_Service_Config::process_file(f.c_str());
    if (r < 0)
      return -1;
    errors += r;
  }
  return errors;
}

int process_service_config_text(const std::string& text)
{
  // Each piece costs the Configurator a parameter block and a 16 KB buffer, and it scans a
  // piece of 16 KB, taken in 4 KB at a time, about two and a half times over.
  static const size_t piece_size = 16384;
  int errors = 0;
  for (const Text_Span& p : directive_pieces(text, piece_size)) {
    std::string const piece(text, p.first, p.second - p.first);
    int const r = ACE_Service_Config::process_directive(piece.c_str());
    if (r < 0)
      return r;
    errors += r;
  }
  return errors;
}
