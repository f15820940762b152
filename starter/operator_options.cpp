// The operator options: usage, version, configuration check.
#include "starter/operator_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <ace/Get_Opt.h>

#include "starter/capabilities.h"
#include "starter/check_run.h"
#include "starter/host_options.h"
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
    "  --threads N             event-loop threads (a pool when N > 1: tp, dev_poll)\n"
    "  --background            detach; return once the services are open\n"
    "  --user NAME|UID         switch to this user (and its primary group)\n"
    "  --primary-group NAME|GID  set the process's group\n"
    "  --group NAME|GID        add a supplementary group; may be repeated\n"
    "  --capability NAME       keep this capability (net_bind_service, CAP_NET_RAW) and no\n"
    "                          other across the switch; may be repeated\n"
    "  --no-new-privileges     nothing the services run may gain privileges\n"
    "  --control PATH          serve starterctl on a Unix socket at PATH (mode 0660)\n"
    "  --control-group GROUP   let members of GROUP use the control socket too\n"
    "  --strict                stop with a non-zero status when a service fails to open\n"
    "  --check                 print the Service Configurator's arguments, check what the run\n"
    "                          reads (as its --user): files, directives, libraries, factories\n"
    "  --version               print the version and exit\n"
    "  --help                  print this text and exit\n"
    "\n"
    "Service Configurator options, passed on in order:\n"
    "  -b                      detach into the background (as --background)\n"
    "  -d                      turn on ACE debug output\n"
    "  -f PATH                 a configuration file, or a directory of *.conf files\n"
    "  -k KEY                  the logging server key\n"
    "  -n                      do not load statically linked services\n"
    "  -p FILE                 write the process id to FILE; removed on a clean stop\n"
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

/// Checks the directives of the files and "-S" options in the Configurator's vector @a v, with
/// their libraries and factories; prints each problem as "FILE:LINE: message". Files that
/// cannot be read are left to check_target().
static bool check_directives_of(int n, char** v)
{
  std::vector<Conf_Problem> problems;
  check_service_config_vector(n, v, true, problems);
  bool ok = true;
  for (const Conf_Problem& p : problems) {
    if (p.line == 0)
      continue;
    std::fprintf(stderr, "%s\n", format_problem(p).c_str());
    ok = false;
  }
  return ok;
}

/// Checks every "-f" target the run reads, relative ones taken against @a base_dir, and the
/// directives they hold, and prints the Service Configurator's vector. True when all is well.
static bool check_conf_files(int argc, char** argv, const char* base_dir)
{
  bool ok = true;
  // The targets as written: a directory is fine here, its files are checked below.
  std::set<std::string> written;
  for (const std::string& w : find_service_config_option(argc, argv, 'f')) {
    std::string path;
    if (check_conf_word(w, base_dir, path))
      ok = check_target(path.c_str(), true) && ok;
    else
      ok = false;
    written.insert(path);  // checked here, or its problem reported already
  }

  open_service_config(argc, argv, true, [&ok, &written](int n, char** v) {
    for (int i = 0; i < n; ++i) {
      std::printf("%s\n", v[i]);
      bool const target = i > 0 && std::strcmp(v[i - 1], "-f") == 0;
      if (target && written.count(v[i]) == 0)
        ok = check_target(v[i], false) && ok;
    }
    ok = check_directives_of(n, v) && ok;
    return true;
  }, base_dir);
  return ok;
}

int check_service_config(int argc, char** argv)
{
  // The host's options as the run reads them, each problem logged; a reactor kind that cannot
  // be made counts, as it does under --strict.
  Host_Options host = parse_host_options(argc, argv);
  bool const reactor_asked = host.reactor != 0 && *host.reactor != 0;
  bool ok = resolve_host_options(host, argc, argv, false);
  ok = !(reactor_asked && host.reactor == 0) && words_fit_substitution(argc, argv) && ok;
  // What the run reads, it reads as the identity it switches to.
  int const files = run_as_identity(host.identity, [&] {
    int const status = check_conf_files(argc, argv, host.start_dir.c_str()) ? 0 : 1;
    if (host.pid_file)
      std::printf("pid file: %s\n", host.pid_file->c_str());
    return status;
  });
  std::fflush(stdout);
  ok = check_capability_names(host.identity.capabilities.names) && ok;
  return ok && files == 0 ? 0 : 1;
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
