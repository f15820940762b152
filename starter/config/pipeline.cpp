// The one path from the command line to a checked configuration, for --check, the start-up and
// each reload.
#include "starter/config/pipeline.h"

#include <unistd.h>

#include <algorithm>

#include <ace/Service_Config.h>

#include "starter/config/assemble.h"

std::vector<char*> pointer_vector(std::vector<std::string>& v)
{
  std::vector<char*> p;
  p.reserve(v.size() + 1);
  for (std::string& s : v)
    p.push_back(&s[0]);
  p.push_back(0);
  return p;
}

Vector_Parts split_vector(const std::vector<std::string>& v)
{
  Vector_Parts parts;
  for (size_t i = 0; i < v.size(); ++i) {
    bool const with_arg = i > 0 && i + 1 < v.size() &&
                          (v[i] == "-f" || v[i] == "-S" || v[i] == "-k" || v[i] == "-s");
    if (with_arg && (v[i] == "-f" || v[i] == "-S")) {
      (v[i] == "-f" ? parts.files : parts.directives).push_back(v[i + 1]);
    } else {
      parts.options.push_back(v[i]);
      if (with_arg)
        parts.options.push_back(v[i + 1]);
    }
    if (with_arg)
      ++i;
  }
  return parts;
}

/// The "-f" words of @a source's command line, as the paths the vector holds: a "-f" target that
/// is none of them came from expanding a conf directory. The assembly has logged each word
/// that cannot take substitution already.
static std::vector<std::string> named_targets(const Config_Source& source)
{
  std::vector<std::string> named;
  if (source.argv != 0)
    for (const std::string& w : find_service_config_option(source.argc, source.argv, 'f'))
      named.push_back(path_of_word(w.c_str(), source.base_dir.c_str(), nullptr, false));
  return named;
}

void assemble_and_check(const Config_Source& source, bool directives, Checked_Config& out)
{
  out = Checked_Config();
  if (source.argv == 0)
    return;
  open_service_config(source.argc, source.argv, true, [&out](int n, char** a) {
    out.vector.assign(a, a + n);
    return true;
  }, source.base_dir.c_str());
  out.parts = split_vector(out.vector);
  // Without "-f" the Configurator reads its default file, when there is one.
  bool const by_default = out.parts.files.empty();
  if (by_default && ::access(ACE_DEFAULT_SVC_CONF, F_OK) == 0)
    out.parts.files.push_back(ACE_DEFAULT_SVC_CONF);
  out.libraries = std::make_shared<Held_Libraries>();
  check_files_and_directives(out.parts.files,
                             directives ? out.parts.directives : std::vector<std::string>(),
                             out.problems, &out.texts, out.libraries.get(), &out.entries);
  // A conf-directory file the check could not read is left out, so that it does not stop the
  // Configurator from reading the files after it. The check's own read decides: a file is
  // opened once, not once more to ask whether it can be.
  std::vector<std::string> const named = named_targets(source);
  int left_out = 0;
  for (Conf_Problem& problem : out.problems) {
    if (problem.line != 0 || std::find(named.begin(), named.end(), problem.where) != named.end())
      continue;
    std::vector<std::string>& v = out.vector;
    for (size_t i = 1; i < v.size(); ++i)
      if (v[i] == problem.where && v[i - 1] == "-f") {
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(i - 1),
                v.begin() + static_cast<std::ptrdiff_t>(i + 1));
        problem.message += "; left out";
        ++left_out;
        break;
      }
  }
  out.errors = static_cast<int>(out.problems.size()) - left_out;
  std::vector<std::string> files = split_vector(out.vector).files;
  // A default file the check could not read is passed over, as the Configurator passes it over.
  if (by_default && out.texts.count(ACE_DEFAULT_SVC_CONF) != 0)
    files.push_back(ACE_DEFAULT_SVC_CONF);
  out.parts.files = files;
}
