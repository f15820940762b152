/**
 * @file pid_file.h
 *
 * The host's pid file. It is written whole under a fresh name beside its path and renamed into
 * place, so a link planted at the path is replaced, never followed, and a reader never sees
 * half a number; its mode is 0644 whatever the umask. The host holds a lock on it while it
 * runs: a second host given the same path refuses to start, naming the first one's pid, while
 * a file that no running host holds (left by one that died) is replaced. The host removes it
 * when it ends, provided the path still names the file it wrote; removing needs no free
 * descriptor. Failures are logged (LM_ERROR) with the path and the cause.
 */
#ifndef STARTER_PID_FILE_H
#define STARTER_PID_FILE_H

#include <optional>
#include <string>

/**
 * Puts @a text at @a path: written whole under a fresh name beside it, mode 0644, then renamed
 * into place. Returns null when it is in place; otherwise the step that failed ("create",
 * "set the mode of", "write", "rename into place"), with errno telling why and nothing left
 * behind. Logs nothing.
 */
const char* replace_file(const std::string& path, const std::string& text);

/// The reload record's path beside the pid file @a pid_file (see reload_record.h): a file the
/// pid file's owner removes with it.
std::string reload_record_path(const std::string& pid_file);

/**
 * @class Pid_File
 *
 * @brief The pid file one process wrote and holds, removed again when the object dies.
 */
class Pid_File
{
public:
  Pid_File() = default;
  ~Pid_File();
  Pid_File(const Pid_File&) = delete;
  Pid_File& operator=(const Pid_File&) = delete;

  /// Writes this process's id and a newline to @a path, when one is given, and holds it. True
  /// when none is given or the file is in place; false, logged, with errno, when it could not
  /// be written, or (EWOULDBLOCK) when another running host holds the file at @a path.
  bool write(const std::optional<std::string>& path);

  /// Removes the file written, when the path still names it (another host may have taken the
  /// path over since), and the reload record beside it. A removal that fails is logged.
  void remove();

private:
  std::string path_;         ///< the file written; empty when none is
  std::string record_path_;  ///< the reload record beside it
  int fd_ = -1;              ///< the file written, open (and locked) while the host runs
};

/// Async-signal-safe, for the ways the host dies without unwinding (a fatal signal, the stop
/// deadline, a service's exit()): removes the pid file the process holds, as remove() does,
/// without logging. Returns 0 when there was none or it was removed, else the errno.
int remove_pid_file_at_death();

/// The path of the pid file the process holds, or, once remove_pid_file_at_death() has taken
/// it, held; null when none.
const char* held_pid_file();

/// Logs that the pid file could not be removed, for errno @a err; nothing when @a err is 0.
void log_pid_file_not_removed(int err);

#endif /* STARTER_PID_FILE_H */
