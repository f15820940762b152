/**
 * @file libraries.h
 *
 * The service libraries as files: the check's loads held until the services that use them are
 * open, so that each library is loaded once per start-up and per reload (ACE's loader counts
 * references), and the stamp (device, inode, size, modification time) of each file a running
 * service was loaded from, by which a reload notices new code installed in its place.
 */
#ifndef STARTER_CONFIG_LIBRARIES_H
#define STARTER_CONFIG_LIBRARIES_H

#include <sys/types.h>

#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ACE_DLL;

/// The libraries a check loaded, each held until it is released or this is destroyed; the
/// later ones released first.
class Held_Libraries
{
public:
  Held_Libraries();
  ~Held_Libraries();
  Held_Libraries(const Held_Libraries&) = delete;
  Held_Libraries& operator=(const Held_Libraries&) = delete;

  /// A new empty loader handle, held here.
  ACE_DLL& add();
  /// Lets go of each held handle whose library was loaded from the file @a file.
  void release(const std::string& file);
  /// Lets go of every held handle; the library of each whose file is not in @a in_use is
  /// closed in full, where ACE's loader, as its policy may say, would keep it mapped (and
  /// hand the old code out again for that path after a new file is installed there).
  void release_all(const std::set<std::string>& in_use);

private:
  std::vector<std::unique_ptr<ACE_DLL>> dlls_;
};

/// What identifies the content of a library file: a file renamed into place is another inode.
struct Library_Stamp
{
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime = {0, 0};
};

bool operator==(const Library_Stamp& a, const Library_Stamp& b);
inline bool operator!=(const Library_Stamp& a, const Library_Stamp& b) { return !(a == b); }

/// The file the loader handle @a dll was loaded from, as the dynamic loader found it; empty
/// when it holds no library.
std::string loaded_file(const ACE_DLL& dll);

/// The file of the loaded library a directive names @a name (as written: a path, or a name ACE's
/// loader decorates with "lib" and ".so"); empty when no such library is loaded.
std::string loaded_file_of(const std::string& name);

/// The stamp of @a file now; false, with errno, when it cannot be read.
bool stamp_file(const std::string& file, Library_Stamp& stamp);

/// Whether the library @a file is still mapped into the process.
bool still_loaded(const std::string& file);

/// The stamp of each library file as it was when the running services' copy was loaded.
typedef std::map<std::string, Library_Stamp> Library_Stamps;

/// Whether @a now is the file of @a was overwritten in place: the same device and inode, with
/// another size or modification time. The dynamic loader hands out the copy it mapped for
/// that file again, whose pages now read the new bytes: it is not to be opened or looked up.
bool overwritten_in_place(const Library_Stamp& was, const Library_Stamp& now);

/// The files of @a stamps overwritten in place since they were stamped.
std::vector<std::string> overwritten_libraries(const Library_Stamps& stamps);

#endif /* STARTER_CONFIG_LIBRARIES_H */
