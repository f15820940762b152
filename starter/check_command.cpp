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

/// For a check that root runs as itself: warns of each file of @a texts that no user but its
/// owner or its group's members may read, since root's privilege read it and the run's user
/// (the unit's, say) may be neither. A hint, not a problem: it changes no exit status.
static void warn_of_root_only_files(const Conf_Texts& texts)
{
  for (const auto& t : texts) {
    struct stat st;
    if (::stat(t.first.c_str(), &st) != 0 || (st.st_mode & S_IROTH) != 0)
      continue;
    SCRT_LOG(0, (LM_WARNING, "starter: %C: mode %04o, owner %u, group %u: only they may read it, "
                             "and root read it here (check with --user USER as the run's user)\n",
                 t.first.c_str(), static_cast<unsigned>(st.st_mode & 07777),
                 static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid)));
  }
}

/// Says, for each "suspend" directive of @a entries, what the host does with it. A hint, not a
/// problem: it changes no exit status, --strict or not.
static void note_suspend_directives(const std::vector<Conf_Entry>& entries)
{
  for (const Conf_Entry& e : entries)
    if (e.keyword == "suspend")
      SCRT_LOG(0, (LM_WARNING, "%C:%d: suspend %C: the host keeps the suspension to this service "
                               "(ACE's acceptors would suspend every handler of the reactor, the "
                               "host's own included), after each start-up, reload and restart, "
                               "until 'starterctl resume %C'\n",
                   e.where.c_str(), e.line, e.name.c_str(), e.name.c_str()));
}

/// Checks the "-f" words, then assembles and checks the configuration as the run does, relative
/// paths taken against @a base_dir; prints the vector (unless @a quiet) and logs each problem,
/// and with @a as_root the files only root's privilege could read. True when all is well.
static bool check_conf_files(const Command_Line& line, const std::string& base_dir, bool strict,
                             bool quiet, bool as_root)
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
  note_suspend_directives(config.entries);
  if (as_root)
    warn_of_root_only_files(config.texts);
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
  bool const as_root = ACE_OS::geteuid() == 0 && !identity_asked(host.identity);
  int const files = run_as_identity(host.identity, [&] {
    int const status = check_conf_files(line, host.start_dir, strict, quiet, as_root) ? 0 : 1;
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
