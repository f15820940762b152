// The operator options: usage, version, configuration check.
#include "starter/operator_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <ace/Get_Opt.h>

#include "starter/conf_check.h"
#include "starter/open_service_config.h"
#include "starter/version.h"

Operator_Options parse_operator_options(int argc, char** argv)
{
  Operator_Options o;
  ACE_Get_Opt opt(argc, argv, "", 1, 0, ACE_Get_Opt::RETURN_IN_ORDER, 0);
  opt.long_option("help", ACE_Get_Opt::NO_ARG);
  opt.long_option("version", ACE_Get_Opt::NO_ARG);
  opt.long_option("check", ACE_Get_Opt::NO_ARG);
  opt.long_option("strict", ACE_Get_Opt::NO_ARG);
  for (int c; (c = opt()) != -1;) {
    if (c != 0)
      continue;
    const char* const name = opt.long_option();
    o.help = o.help || std::strcmp(name, "help") == 0;
    o.version = o.version || std::strcmp(name, "version") == 0;
    o.check = o.check || std::strcmp(name, "check") == 0;
    o.strict = o.strict || std::strcmp(name, "strict") == 0;
  }
  return o;
}

static const char usage[] =
    "Usage: starter [host options] [Service Configurator options]\n"
    "\n"
    "Hosts the ACE services named in Service Configurator files until a stop signal.\n"
    "\n"
    "Host options:\n"
    "  --reactor KIND          create a reactor of this kind: select, tp, priority, dev_poll\n"
    "  --threads N             run the event loop on N threads (a pool when N > 1)\n"
    "  --background            detach into the background before anything else\n"
    "  --user NAME|UID         switch to this user (and its primary group)\n"
    "  --primary-group NAME|GID  set the process's group\n"
    "  --group NAME|GID        add a supplementary group; may be repeated\n"
    "  --strict                stop with a non-zero status when a service fails to open\n"
    "  --check                 print the Service Configurator's arguments, check the files,\n"
    "                          their directives, libraries and factories, exit\n"
    "  --version               print the version and exit\n"
    "  --help                  print this text and exit\n"
    "\n"
    "Service Configurator options, passed on in order:\n"
    "  -b                      detach into the background (as --background)\n"
    "  -d                      turn on ACE debug output\n"
    "  -f PATH                 a configuration file, or a directory of *.conf files\n"
    "  -k KEY                  the logging server key\n"
    "  -n                      do not load statically linked services\n"
    "  -p FILE                 write the process id to FILE\n"
    "  -s SIGNO                a further signal that reloads the configuration\n"
    "  -S DIRECTIVE            a Service Configurator directive\n"
    "  -y                      load statically linked services\n"
    "\n"
    "Signals: TERM, INT, QUIT stop; HUP reloads; USR2 toggles ACE debug output.\n";

/// Checks one "-f" target as written: exists, is a regular file or a directory, is readable.
static bool check_target(const char* path, bool directory_allowed)
{
  struct stat st;
  const char* problem = 0;
  if (::stat(path, &st) != 0)
    problem = std::strerror(errno);
  else if (!S_ISREG(st.st_mode) && !(directory_allowed && S_ISDIR(st.st_mode)))
    problem = directory_allowed ? "not a regular file or a directory" : "not a regular file";
  else if (::access(path, S_ISDIR(st.st_mode) ? R_OK | X_OK : R_OK) != 0)
    problem = "not readable";
  if (problem == 0)
    return true;
  std::fprintf(stderr, "starter: -f %s: %s\n", path, problem);
  return false;
}

/// Checks the directives of the files and "-S" options the Configurator would get, with
/// their libraries and factories; prints each problem as "FILE:LINE: message". Files that
/// cannot be read are left to check_target().
static bool check_directives_of(int argc, char** argv)
{
  std::vector<Conf_Problem> problems;
  open_service_config(argc, argv, true, [&problems](int n, char** v) {
    check_service_config_vector(n, v, true, problems);
    return true;
  });
  bool ok = true;
  for (const Conf_Problem& p : problems) {
    if (p.line == 0)
      continue;
    std::fprintf(stderr, "%s\n", format_problem(p).c_str());
    ok = false;
  }
  return ok;
}

int check_service_config(int argc, char** argv)
{
  bool ok = true;
  // The targets as written: a directory is fine here, its files are checked below.
  std::vector<std::string> const written = find_service_config_option(argc, argv, 'f');
  for (const std::string& w : written)
    if (w.empty() || w[0] != '$')  // references are checked once replaced, below
      ok = check_target(w.c_str(), true) && ok;

  open_service_config(argc, argv, true, [&ok, &written](int n, char** v) {
    for (int i = 0; i < n; ++i) {
      std::printf("%s\n", v[i]);
      bool const target = i > 0 && std::strcmp(v[i - 1], "-f") == 0;
      if (target && std::find(written.begin(), written.end(), v[i]) == written.end())
        ok = check_target(v[i], false) && ok;
    }
    return true;
  });
  std::fflush(stdout);
  ok = check_directives_of(argc, argv) && ok;
  return ok ? 0 : 1;
}

int run_operator_options(const Operator_Options& options, int argc, char** argv)
{
  if (options.help) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("starter %s (rev %s)\n", STARTER_PACKAGE_VERSION, STARTER_REVISION);
    return 0;
  }
  if (options.check)
    return check_service_config(argc, argv);
  return -1;
}
