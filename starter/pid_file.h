/**
 * @file pid_file.h
 *
 * The host's pid file. It is written whole under a fresh name beside its path and renamed into
 * place, so a link planted at the path is replaced, never followed, and a reader never sees
 * half a number; its mode is 0644 whatever the umask. The object that wrote it removes it when
 * it dies, provided the file still names this process. Failures are logged (LM_ERROR) with the
 * path and the cause.
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
 * @brief The pid file one process wrote, removed again when the object dies.
 */
class Pid_File
{
public:
  Pid_File() = default;
  ~Pid_File();
  Pid_File(const Pid_File&) = delete;
  Pid_File& operator=(const Pid_File&) = delete;

  /// Writes this process's id and a newline to @a path, when one is given. True when none is
  /// given or the file is in place; false, logged, with errno, when it could not be written.
  bool write(const std::optional<std::string>& path);

  /// Removes the file written, when it is still a regular file holding this process's id:
  /// another host may have taken the path over since; the reload record beside it goes with
  /// it. A failed removal is logged.
  void remove();

private:
  std::string path_;  ///< the file written; empty when none is
};

#endif /* STARTER_PID_FILE_H */
