// --check: the run's configuration, words and identity checked; each problem printed once.
#include "starter/check_command.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include <ace/OS_NS_sys_wait.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"
#include "starter/capabilities.h"
#include "starter/command_line.h"
#include "starter/config/assemble.h"
#include "starter/config/pipeline.h"
#include "starter/host_options.h"
#include "starter/identity.h"

/// Whether every word of @a line that goes through environment substitution (the program path
/// and the arguments of the Service Configurator's options) can take it. Logs nothing: the
/// assembly of the vector logs each word that cannot.
static bool words_fit_substitution(const Command_Line& line)
{
  bool fit = fits_substitution(line.program.c_str());
  for (const Conf_Word& w : line.conf_words)
    fit = fits_substitution(w.argument.c_str()) && fit;
  return fit;
}

/// Checks the "-f" word @a f of the command line: it must make exactly one path after quoting
/// and substitution, and must not still hold an environment reference that names nothing.
/// Returns false, with one line printed, when there is a problem; silently for a word that
/// cannot take substitution (the assembly said so).
static bool check_conf_word(const Named_File& f)
{
  if (!f.fits)
    return false;
  struct stat st;
  if (f.elements != 1)
    SCRT_LOG(-1, (LM_ERROR, "starter: -f '%s': %d words after quoting and substitution, not one "
                  "path\n", f.word.c_str(), static_cast<int>(f.elements)));
  else if (f.word.find('$') != std::string::npos && f.path.find('$') != std::string::npos &&
           ::stat(f.path.c_str(), &st) != 0)
    SCRT_LOG(-1, (LM_ERROR, "starter: -f '%s': an environment reference in it names no "
                  "variable\n", f.word.c_str()));
  else
    return true;
  return false;
}

/// Runs @a check as @a identity (resolved) would run it: in a child process that takes the
/// identity on first, when one is asked for and resolved; in this process otherwise. Returns
/// what @a check returns (0 or 1), or 1 when the child could not take the identity on (logged
/// there, as the run would refuse) or ended otherwise. The child returns as well, with its own
/// status and @a child set: it is then to do nothing more but end with that status. Standard
/// output is flushed first, so that nothing written before is written twice.
static int run_as_identity(const Identity_Request& identity, const std::function<int()>& check,
                           bool& child)
{
  child = false;
  std::fflush(stdout);
  if (!identity_asked(identity) || !identity.resolved.complete)
    return check();
  pid_t const pid = ACE_OS::fork();
  if (pid == 0) {
    child = true;
    if (switch_identity(identity))
      return check();
    log_incomplete_identity();
    return 1;
  }
  int status = 0;
  pid_t waited = -1;
  // A signal that lands meanwhile must not leave the child running on, unwaited for, while
  // the check reports a failure it did not find.
  if (pid > 0)
    do
      waited = ACE_OS::waitpid(pid, &status, 0);
    while (waited == -1 && errno == EINTR);
  if (pid < 0 || waited != pid) {
    SCRT_LOG(-1, (LM_ERROR, "starter: cannot check as the identity the run takes on: %m\n"));
    return 1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

/// Logs @a p: a file that cannot be read as "starter: -f PATH: why", anything else as
/// "FILE:LINE: message"; a warning at LM_WARNING unless @a strict. Returns whether it is an
/// error.
static bool log_problem(const Conf_Problem& p, bool strict)
{
  bool const error = counts_as_error(p, strict);
  ACE_Log_Priority const priority = error ? LM_ERROR : LM_WARNING;
  if (p.kind == CONF_UNREADABLE)
    SCRT_LOG(-1, (priority, "starter: -f %s: %s\n", p.where.c_str(), p.message.c_str()));
  else
    SCRT_LOG(-1, (priority, "%s\n", format_problem(p).c_str()));
  return error;
}

/// Checks the "-f" words, then assembles and checks the configuration as the run does, relative
/// paths taken against @a base_dir; prints the vector (unless @a quiet) and logs each problem.
/// True when all is well.
static bool check_conf_files(const Command_Line& line, const std::string& base_dir, bool strict,
                             bool quiet)
{
  Config_Source source;
  source.program = line.program;
  source.words = line.conf_words;
  source.base_dir = base_dir;
  Checked_Config config;
  assemble_and_check(source, true, config);
  bool ok = true;
  // A word that makes no single path is reported as written, and not again as a path.
  std::set<std::string> reported;
  for (const Named_File& f : config.named)
    if (!check_conf_word(f)) {
      ok = false;
      reported.insert(f.fits ? f.path : std::string());
    }
  if (!quiet)
    for (const std::string& w : config.vector)
      std::printf("%s\n", w.c_str());
  for (const Conf_Problem& p : config.problems) {
    if (p.line == 0 && reported.count(p.where) != 0)
      continue;
    ok = !log_problem(p, strict) && ok;
  }
  return ok;
}

int check_service_config(const Command_Line& line)
{
  bool const strict = line.operators.strict;
  bool const quiet = line.operators.quiet;
  // Errors only: ExecStartPre= and ExecReload= log each line at its priority.
  if (quiet)
    ACE_Log_Msg::instance()->priority_mask(LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY,
                                           ACE_Log_Msg::PROCESS);
  log_command_line_problems(line);
  // The host's options as the run reads them, each problem logged; a reactor kind that cannot
  // be made counts, as it does under --strict.
  Host_Options host = line.host;
  bool const reactor_asked = host.reactor != 0 && *host.reactor != 0;
  bool ok = resolve_host_options(host, false);
  ok = !(reactor_asked && host.reactor == 0) && words_fit_substitution(line) && ok;
  // What the run reads, it reads as the identity it switches to.
  bool child = false;
  int const files = run_as_identity(host.identity, [&] {
    int const status = check_conf_files(line, host.start_dir, strict, quiet) ? 0 : 1;
    if (host.pid_file && !quiet)
      std::printf("pid file: %s\n", host.pid_file->c_str());
    return status;
  }, child);
  if (child)
    return files;
  std::fflush(stdout);
  ok = check_capability_names(host.identity.capabilities.names) && ok;
  return ok && files == 0 ? 0 : 1;
}
