// Writing the pid file safely, and removing it again.
#include "starter/pid_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"

/// The text of this process's pid file.
static std::string pid_text()
{
  std::string text;
  string_sprintf(text, "%ld\n", static_cast<long>(ACE_OS::getpid()));
  return text;
}

Pid_File::~Pid_File()
{
  remove();
}

const char* replace_file(const std::string& path, const std::string& text)
{
  // mkstemp creates exclusively, so nothing planted at the temporary name is followed either.
  std::string tmp = path + ".XXXXXX";
  ACE_HANDLE const fd = path.empty() ? ACE_INVALID_HANDLE : ACE_OS::mkstemp(&tmp[0]);
  if (fd == ACE_INVALID_HANDLE) {
    if (path.empty())
      ACE_OS::last_error(ENOENT);
    return "create";
  }
  const char* failed = 0;
  if (::fchmod(fd, 0644) != 0)
    failed = "set the mode of";
  else if (ACE::write_n(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    failed = "write";
  int err = ACE_OS::last_error();
  if (ACE_OS::close(fd) != 0 && failed == 0) {
    failed = "write";
    err = ACE_OS::last_error();
  }
  if (failed == 0 && ACE_OS::rename(tmp.c_str(), path.c_str()) != 0) {
    failed = "rename into place";
    err = ACE_OS::last_error();
  }
  if (failed != 0)
    ACE_OS::unlink(tmp.c_str());
  ACE_OS::last_error(err);
  return failed;
}

std::string reload_record_path(const std::string& pid_file)
{
  return pid_file + ".reload";
}

bool Pid_File::write(const std::optional<std::string>& path)
{
  if (!path)
    return true;
  const char* const failed = replace_file(*path, pid_text());
  if (failed == 0) {
    path_ = *path;
    return true;
  }
  int const err = ACE_OS::last_error();
  SCRT_LOG(-1, (LM_ERROR, "Failed to %C the pid file '%C', errno=%d, %m\n", failed,
                path->c_str(), err));
  ACE_OS::last_error(err);
  return false;
}

void Pid_File::remove()
{
  if (path_.empty())
    return;
  std::string const path = path_;
  path_.clear();
  std::string const text = pid_text();
  char held[32] = "";
  ACE_HANDLE const fd = ACE_OS::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd != ACE_INVALID_HANDLE) {
    ssize_t const n = ACE_OS::read(fd, held, sizeof held - 1);
    held[n > 0 ? n : 0] = 0;
    ACE_OS::close(fd);
  }
  if (text != held)
    return;
  (void)ACE_OS::unlink(reload_record_path(path).c_str());
  if (ACE_OS::unlink(path.c_str()) != 0) {
    int const err = ACE_OS::last_error();
    SCRT_LOG(-1, (LM_ERROR, "Failed to remove the pid file '%C', errno=%d, %m\n", path.c_str(),
                  err));
  }
}
