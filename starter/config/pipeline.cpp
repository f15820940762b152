// The one path from the command line to a checked configuration, for --check, the start-up and
// each reload.
#include "starter/config/pipeline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "starter/config/assemble.h"

Vector_Parts split_vector(const std::vector<std::string>& v)
{
  Vector_Parts parts;
  // A conf directory's files are most of a long vector: room for them at once, not by doubling.
  parts.files.reserve(v.size() / 2);
  for (size_t i = 0; i < v.size(); ++i) {
    // An option is two bytes: most words (a conf directory's paths) are told apart by length.
    char const option = v[i].size() == 2 && v[i][0] == '-' ? v[i][1] : 0;
    bool const with_arg = i > 0 && i + 1 < v.size() &&
                          (option == 'f' || option == 'S' || option == 'k' || option == 's');
    if (with_arg && (option == 'f' || option == 'S')) {
      (option == 'f' ? parts.files : parts.directives).push_back(v[i + 1]);
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

void assemble_and_check(const Config_Source& source, bool directives, Checked_Config& out)
{
  out = Checked_Config();
  Assembled_Config assembled =
      assemble_service_config(source.program, true, source.words, source.base_dir.c_str());
  out.vector = std::move(assembled.vector);
  out.named = std::move(assembled.named);
  // The "-f" targets as the paths the vector holds: a target that is none of them came from
  // expanding a conf directory.
  std::vector<std::string> named;
  for (const Named_File& f : out.named)
    named.push_back(f.path);
  // The Configurator's default file only when no "-f" is given at all, named like any other,
  // in the starting directory: a conf directory with no files means no services.
  if (named.empty()) {
    std::string const svc_conf = absolute_path(CONF_DEFAULT_FILE, source.base_dir.c_str());
    if (::access(svc_conf.c_str(), F_OK) == 0) {
      out.vector.push_back("-f");
      out.vector.push_back(svc_conf);
    }
  }
  // What the walks that expanded the conf directories passed over is reported from them; a
  // directory no walk could open gives no files either.
  for (const Named_File& f : out.named) {
    for (const auto& s : f.skipped)
      out.problems.push_back(Conf_Problem{s.first, 0, std::string("skipped: ") + s.second,
                                          CONF_WARNING});
    struct stat st;
    if (f.walked ? f.conf_files == 0 : ::stat(f.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      out.empty_dirs.push_back(f.path);
  }
  out.parts = split_vector(out.vector);
  out.texts.reserve(out.parts.files.size());
  out.libraries = std::make_shared<Held_Libraries>();
  check_files_and_directives(out.parts.files,
                             directives ? out.parts.directives : std::vector<std::string>(),
                             out.problems, &out.texts, source.base_dir, out.libraries.get(),
                             &out.entries, &out.services);
  // A conf-directory file the check could not read is left out, so that it does not stop the
  // Configurator from reading the files after it, and so is anything the Configurator would
  // crash or hang on. The check's own read decides: a file is opened once, not once more to
  // ask whether it can be. A reload applies nothing when there are errors: it leaves nothing
  // out.
  bool left_out_any = false;
  for (Conf_Problem& problem : out.problems) {
    out.errors += counts_as_error(problem, source.strict) ? 1 : 0;
    bool const unsafe = problem.kind == CONF_UNSAFE;
    bool const unreadable = problem.line == 0 && problem.kind != CONF_WARNING && !unsafe &&
                            std::find(named.begin(), named.end(), problem.where) == named.end();
    if (!directives || (!unreadable && !unsafe))
      continue;
    // A "-S" directive's problems name it as "-S 'DIRECTIVE'".
    std::vector<std::string>& v = out.vector;
    for (size_t i = 1; i < v.size(); ++i)
      if ((v[i - 1] == "-f" && v[i] == problem.where) ||
          (v[i - 1] == "-S" && "-S '" + v[i] + "'" == problem.where)) {
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(i - 1),
                v.begin() + static_cast<std::ptrdiff_t>(i + 1));
        out.texts.erase(problem.where);
        problem.message += "; left out";
        left_out_any = true;
        break;
      }
  }
  if (left_out_any)
    out.parts = split_vector(out.vector);
  // What is left out is not applied, so it does not run.
  auto const left_out = [&out](const auto& e) { return out.texts.count(e.where) == 0; };
  out.entries.erase(std::remove_if(out.entries.begin(), out.entries.end(), left_out),
                    out.entries.end());
  out.services.erase(std::remove_if(out.services.begin(), out.services.end(), left_out),
                     out.services.end());
}
