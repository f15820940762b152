// A temporary directory for tests that do real file-system work; removed with its contents
// when the object dies.
#ifndef TESTS_SUPPORT_TEMP_DIR_H
#define TESTS_SUPPORT_TEMP_DIR_H

#include <string>
#include <vector>

class Temp_Dir
{
public:
  Temp_Dir();
  ~Temp_Dir();
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + @a name.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  /// Writes @a text to the file @a name (relative to the directory); returns its full path.
  std::string write(const std::string& name, const std::string& text) const;
  /// Creates the directory @a name; returns its full path.
  std::string mkdir(const std::string& name) const;

private:
  std::string path_;
};

/// True when @a path names a directory (links followed).
bool is_dir(const std::string& path);
/// True when something, even a dangling link, is at @a path.
bool exists(const std::string& path);

/// A probe service line for a configuration file: a service named @a name that records to
/// @a record, with further probe @a options.
std::string probe_line(const std::string& name, const std::string& record,
                       const std::string& options = "");

/// A loopback TCP port nobody listens on at the moment; 0 when none could be found.
int free_port();

/// Configuration lines for ACE's netsvcs time and logging services, each on a free loopback
/// port, which are appended to @a ports; empty when the build found no netsvcs library.
std::string netsvcs_lines(std::vector<int>& ports);

#endif /* TESTS_SUPPORT_TEMP_DIR_H */
