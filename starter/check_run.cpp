// The checks --check makes of the words and the identity of the run.
#include "starter/check_run.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <ace/OS_NS_sys_wait.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"
#include "starter/open_service_config.h"

bool words_fit_substitution(int argc, char** argv)
{
  bool fit = argc < 1 || fits_substitution(argv[0]);
  for (char option : {'f', 'k', 'p', 's', 'S'})
    for (const std::string& w : find_service_config_option(argc, argv, option))
      fit = fits_substitution(w.c_str()) && fit;
  return fit;
}

bool check_conf_word(const std::string& word, const char* base_dir, std::string& path)
{
  path.clear();
  if (!fits_substitution(word.c_str()))
    return false;
  size_t elements = 0;
  std::string const named = path_of_word(word.c_str(), nullptr, &elements);
  path = absolute_path(named, base_dir);
  struct stat st;
  if (elements != 1)
    SCRT_LOG(-1, (LM_ERROR, "starter: -f '%s': %d words after quoting and substitution, not one "
                  "path\n", word.c_str(), static_cast<int>(elements)));
  else if (word.find('$') != std::string::npos && named.find('$') != std::string::npos &&
           ::stat(path.c_str(), &st) != 0)
    SCRT_LOG(-1, (LM_ERROR, "starter: -f '%s': an environment reference in it names no "
                  "variable\n", word.c_str()));
  else
    return true;
  return false;
}

int run_as_identity(const Identity_Request& identity, const std::function<int()>& check)
{
  std::fflush(stdout);
  if (!identity_asked(identity) || !identity.resolved.complete)
    return check();
  pid_t const pid = ACE_OS::fork();
  if (pid == 0) {
    switch_identity(identity);
    int const status = check();
    std::fflush(stdout);
    ACE_OS::_exit(status);
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
