// Writing the pid file safely, holding it while the host runs, and removing it again with the
// reload record beside it.
//
// The lock is an flock() on the file itself, taken on the fresh file before it is renamed into
// place and held through the descriptor kept open until the host ends. The check for another
// host and the rename run under an flock() on the directory, so two hosts starting at once
// cannot both find the path free.
#include "starter/pid_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <ace/ACE.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_unistd.h>

#include "scrt/log_macros.h"
#include "scrt/string_sprintf.h"

/// The one pid file the process holds, its reload record and its descriptor, for
/// remove_pid_file_at_death(); null when none.
static const char* volatile held_path = 0;
/// The pid file's path once removed, for the record of a removal that failed.
static const char* volatile removed_path = 0;
static const char* volatile held_record = 0;
static volatile int held_fd = -1;

/// The text of this process's pid file.
static std::string pid_text()
{
  std::string text;
  string_sprintf(text, "%ld\n", static_cast<long>(ACE_OS::getpid()));
  return text;
}

/// The directory part of @a path ("." when it has none).
static std::string dir_of(const std::string& path)
{
  std::string::size_type const slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

/// When a running host holds the file at @a path, returns true and sets @a pid to the text
/// it holds (its first line). A file that cannot be opened, or that nobody holds, is free.
static bool held_by_another(const std::string& path, std::string& pid)
{
  int const fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return false;
  bool held = false;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    held = true;
    char text[32] = "";
    ssize_t const n = ::read(fd, text, sizeof text - 1);
    text[n > 0 ? n : 0] = 0;
    pid.assign(text, ACE_OS::strcspn(text, "\n"));
  }
  ::close(fd);
  return held;
}

Pid_File::~Pid_File()
{
  remove();
}

/**
 * Puts @a text at @a path through a fresh file beside it, mode 0644, renamed into place;
 * locked first when @a lock. mkostemp creates exclusively, so nothing planted at the temporary
 * name is followed either; close-on-exec, since a program a service runs would otherwise hold
 * the lock after the host. Returns null with the file open in @a fd (closed unless @a lock),
 * or the step that failed with errno set, nothing left behind and @a fd invalid.
 */
static const char* write_and_rename(const std::string& path, const std::string& text, bool lock,
                                    ACE_HANDLE& fd)
{
  std::string tmp = path + ".XXXXXX";
  fd = path.empty() ? ACE_INVALID_HANDLE : ::mkostemp(&tmp[0], O_CLOEXEC);
  if (fd == ACE_INVALID_HANDLE) {
    if (path.empty())
      ACE_OS::last_error(ENOENT);
    return "create";
  }
  const char* failed = 0;
  if (::fchmod(fd, 0644) != 0)
    failed = "set the mode of";
  else if (lock && ::flock(fd, LOCK_EX | LOCK_NB) != 0)
    failed = "lock";
  else if (ACE::write_n(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    failed = "write";
  int err = ACE_OS::last_error();
  if ((failed != 0 || !lock) && ACE_OS::close(fd) != 0 && failed == 0) {
    failed = "write";
    err = ACE_OS::last_error();
  }
  if (failed == 0 && ACE_OS::rename(tmp.c_str(), path.c_str()) != 0) {
    failed = "rename into place";
    err = ACE_OS::last_error();
    if (lock)
      ACE_OS::close(fd);
  }
  if (failed != 0 || !lock)
    fd = ACE_INVALID_HANDLE;
  if (failed != 0)
    ACE_OS::unlink(tmp.c_str());
  ACE_OS::last_error(err);
  return failed;
}

const char* replace_file(const std::string& path, const std::string& text)
{
  ACE_HANDLE fd;
  return write_and_rename(path, text, false, fd);
}

std::string reload_record_path(const std::string& pid_file)
{
  return pid_file + ".reload";
}

bool Pid_File::write(const std::optional<std::string>& path)
{
  if (!path)
    return true;
  std::string const text = pid_text();
  // The directory's lock orders hosts that start at once; without it (no read access to the
  // directory) the file's own lock still refuses a host that starts later.
  int const dir = path->empty() ? -1 : ::open(dir_of(*path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0)
    (void)::flock(dir, LOCK_EX);
  std::string other;
  ACE_HANDLE fd = ACE_INVALID_HANDLE;
  const char* failed = 0;
  if (held_by_another(*path, other)) {
    failed = "take over";
    ACE_OS::last_error(EWOULDBLOCK);
  } else {
    failed = write_and_rename(*path, text, true, fd);
  }
  int const err = ACE_OS::last_error();
  if (dir >= 0)
    ::close(dir);  // drops the directory's lock
  if (failed == 0) {
    path_ = *path;
    record_path_ = reload_record_path(path_);
    fd_ = fd;
    held_fd = fd_;
    held_record = record_path_.c_str();
    held_path = path_.c_str();
    return true;
  }
  if (!other.empty() || err == EWOULDBLOCK)
    SCRT_LOG(-1, (LM_ERROR, "The pid file '%C' is held by a running host (pid %C): refusing "
                            "to take it over\n", path->c_str(), other.c_str()));
  else
    SCRT_LOG(-1, (LM_ERROR, "Failed to %C the pid file '%C', errno=%d, %m\n", failed,
                  path->c_str(), err));
  ACE_OS::last_error(err);
  return false;
}

int remove_pid_file_at_death()
{
  const char* const path = held_path;
  const char* const record = held_record;
  int const fd = held_fd;
  held_path = 0;
  if (path == 0 || fd < 0)
    return 0;
  removed_path = path;
  // The path must still name the file this process wrote: a newer host may have replaced it.
  struct stat mine, there;
  if (::fstat(fd, &mine) != 0 || ::lstat(path, &there) != 0 || mine.st_dev != there.st_dev ||
      mine.st_ino != there.st_ino)
    return 0;
  if (record != 0)
    (void)::unlink(record);
  return ::unlink(path) == 0 ? 0 : errno;
}

const char* held_pid_file()
{
  const char* const path = held_path;
  return path != 0 ? path : removed_path;
}

void log_pid_file_not_removed(int err)
{
  if (err == 0)
    return;
  ACE_OS::last_error(err);
  SCRT_LOG(-1, (LM_ERROR, "Failed to remove the pid file '%C', errno=%d, %m\n", held_pid_file(),
                err));
}

void Pid_File::remove()
{
  if (path_.empty())
    return;
  log_pid_file_not_removed(held_path != 0 ? remove_pid_file_at_death() : 0);
  held_path = 0;
  removed_path = 0;
  held_fd = -1;
  ::close(fd_);  // the lock goes with it, after the file is gone
  fd_ = -1;
  path_.clear();
  record_path_.clear();
}
