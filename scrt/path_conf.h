/**
 * @file path_conf.h
 *
 * A configured location turned into a usable path in one step: environment references in the
 * prefix expanded, the directory optionally created with its parents, a base name appended.
 * Failures are logged and leave an object that still answers, with an empty or partial path.
 */
#ifndef SCRT_PATH_CONF_H
#define SCRT_PATH_CONF_H

#include <string>
#include <sys/types.h>

/**
 * @class Path_Conf
 *
 * @brief The path text built from a prefix, which the owner can extend and edit.
 *
 * One object is used by one thread at a time. Construction reads the environment and, when
 * asked, creates directories; the destructor removes nothing.
 */
class Path_Conf
{
public:
  /// Expands @a prefix with ACE_OS::strenvdup, creates that directory and its parents with
  /// @a mode when @a create is true, then appends '/' and @a basename when it is not null or
  /// empty; @a basename is never created. A null or empty @a prefix, a failed expansion or a
  /// failed creation is logged; the path is then empty (or, after a failed creation, complete
  /// all the same).
  Path_Conf(const char* prefix, bool create, const char* basename, mode_t mode);
  /// The same for @a prefix with '/' and @a sub appended when @a sub is not null or empty.
  Path_Conf(const char* prefix, const char* sub, bool create, const char* basename, mode_t mode);
  ~Path_Conf();

  /// Appends '/' and @a sub, whatever the path ends with; a null or empty @a sub changes nothing.
  Path_Conf& append(const char* sub);

  /// The path text: moved out of an expiring object, read-only, or for the owner to edit.
  std::string str() &&;
  const std::string& str() const&;
  std::string& str() &;

  /// Replaces every occurrence of @a name in the path by @a value, left to right, without
  /// searching the inserted text again; an empty @a name changes nothing. A null argument is
  /// logged and changes nothing.
  void fix(const char* name, const char* value);

protected:
  /// The path text; empty until a constructor succeeds.
  std::string prefix_;

private:
  /// The work shared by both constructors.
  void init(const char* prefix, bool create, const char* basename, mode_t mode);
};

#include "scrt/path_conf.inl"

#endif /* SCRT_PATH_CONF_H */
