// Service libraries as files: held loads, the loaded file of a handle, and file stamps.
#include "starter/config/libraries.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <ace/DLL.h>
#include <ace/DLL_Manager.h>

Held_Libraries::Held_Libraries() = default;

Held_Libraries::~Held_Libraries()
{
  // A library may need symbols that one loaded before it brings: the later ones go first.
  while (!dlls_.empty())
    dlls_.pop_back();
}

ACE_DLL& Held_Libraries::add()
{
  dlls_.emplace_back(new ACE_DLL);
  return *dlls_.back();
}

void Held_Libraries::release(const std::string& file)
{
  for (size_t i = dlls_.size(); i-- > 0;)
    if (loaded_file(*dlls_[i]) == file)
      dlls_.erase(dlls_.begin() + static_cast<std::ptrdiff_t>(i));
}

void Held_Libraries::release_all(const std::set<std::string>& in_use)
{
  while (!dlls_.empty()) {
    std::string const file = loaded_file(*dlls_.back());
    std::string const name = dlls_.back()->dll_name_ != 0 ? dlls_.back()->dll_name_ : "";
    dlls_.pop_back();
    if (file.empty() || name.empty() || in_use.count(file) != 0 || !still_loaded(file))
      continue;
    ACE_DLL_Manager* const m = ACE_DLL_Manager::instance();
    u_long const policy = m->unload_policy();
    m->unload_policy(ACE_DLL_UNLOAD_POLICY_PER_PROCESS);
    m->close_dll(name.c_str());
    m->unload_policy(policy);
  }
}

bool operator==(const Library_Stamp& a, const Library_Stamp& b)
{
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime.tv_sec == b.mtime.tv_sec &&
         a.mtime.tv_nsec == b.mtime.tv_nsec;
}

std::string loaded_file(const ACE_DLL& dll)
{
  void* const handle = dll.get_handle();
  link_map* map = 0;
  if (handle == 0 || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == 0 || map->l_name == 0)
    return std::string();
  return map->l_name;
}

std::string loaded_file_of(const std::string& name)
{
  std::string const dir = name.find('/') == std::string::npos ? std::string() : name.substr(0, name.rfind('/') + 1);
  std::string const base = name.substr(dir.size());
  for (const std::string& f : {name, dir + "lib" + base + ".so", name + ".so"}) {
    void* const handle = ::dlopen(f.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == 0)
      continue;
    link_map* map = 0;
    std::string file;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != 0 && map->l_name != 0)
      file = map->l_name;
    ::dlclose(handle);
    if (!file.empty())
      return file;
  }
  return std::string();
}

bool stamp_file(const std::string& file, Library_Stamp& stamp)
{
  struct stat st;
  if (::stat(file.c_str(), &st) != 0)
    return false;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime = st.st_mtim;
  return true;
}

bool still_loaded(const std::string& file)
{
  void* const handle = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == 0)
    return false;
  ::dlclose(handle);
  return true;
}

bool overwritten_in_place(const Library_Stamp& was, const Library_Stamp& now)
{
  return was.dev == now.dev && was.ino == now.ino && was != now;
}

std::vector<std::string> overwritten_libraries(const Library_Stamps& stamps)
{
  std::vector<std::string> files;
  for (const auto& s : stamps) {
    Library_Stamp now;
    if (stamp_file(s.first, now) && overwritten_in_place(s.second, now))
      files.push_back(s.first);
  }
  return files;
}
