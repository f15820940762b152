// Libraries kept mapped for the threads that may still run them, and the names new copies
// are opened by. The loader hands out a loaded copy for a name it already knows, before it
// looks at the file: a new file at that path is loaded beside a kept copy only under
// another name.
#include "starter/kept_libraries.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "starter/service_map.h"
#include "starter/service_threads.h"

namespace {

/// A copy the loader mapped, and the file it mapped it from.
struct Copy
{
  uintptr_t base;
  std::string path;
  bool known;  ///< dev and ino read when it was loaded
  dev_t dev;
  ino_t ino;
  bool kept;
};

// Never destroyed: ACE's own teardown closes libraries after this file's statics are gone.
std::mutex& lock = *new std::mutex;
std::vector<Copy>& copies = *new std::vector<Copy>;
std::atomic<int> kept_count(0);

typedef void* (*Open)(const char*, int);
typedef int (*Close)(void*);

/// The C library's own, past the host's.
void* real_open(const char* file, int mode)
{
  static Open const next = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "dlopen"));
  return next != 0 ? next(file, mode) : 0;
}

int real_close(void* handle)
{
  static Close const next = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "dlclose"));
  return next != 0 ? next(handle) : -1;
}

link_map* map_of(void* handle)
{
  link_map* lm = 0;
  if (handle == 0 || ::dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || lm == 0 || lm->l_name == 0)
    return 0;
  return lm;
}

/// The entry for @a lm; null when none. With the lock held.
Copy* find(const link_map* lm)
{
  for (Copy& c : copies)
    if (c.base == lm->l_addr && c.path == lm->l_name)
      return &c;
  return 0;
}

const char* beside_kept_copies(const char* file, std::string& buffer);

int note_present(dl_phdr_info* info, size_t, void* arg)
{
  auto& present = *static_cast<std::vector<std::pair<uintptr_t, std::string>>*>(arg);
  present.emplace_back(info->dlpi_addr, info->dlpi_name != 0 ? info->dlpi_name : "");
  return 0;
}

}  // namespace

void note_library_opened(void* handle)
{
  link_map* const lm = map_of(handle);
  if (lm == 0 || *lm->l_name == 0)
    return;
  std::lock_guard<std::mutex> guard(lock);
  if (find(lm) != 0)
    return;
  struct stat st;
  bool const known = ::stat(lm->l_name, &st) == 0;
  // Out of memory, the copy is not noted: a replacement of it is then not told apart.
  try {
    copies.push_back(Copy{lm->l_addr, lm->l_name, known, known ? st.st_dev : 0, known ? st.st_ino : 0, false});
  } catch (const std::bad_alloc&) {
  }
}

bool keep_if_running(void* handle)
{
  link_map* const lm = map_of(handle);
  uintptr_t start = 0, end = 0;
  if (lm == 0 || !loaded_range(handle, start, end) || !thread_runs_in(start, end))
    return false;
  std::lock_guard<std::mutex> guard(lock);
  Copy* c = find(lm);
  if (c == 0) {
    try {
      copies.push_back(Copy{lm->l_addr, lm->l_name, false, 0, 0, false});
    } catch (const std::bad_alloc&) {
      return false;
    }
    c = &copies.back();
  }
  if (c->kept)
    return true;
  // A library opened again with RTLD_NODELETE stays loaded after its last close.
  void* const again = real_open(lm->l_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  if (again == 0)
    return false;
  link_map* const same = map_of(again);
  c->kept = same != 0 && same->l_addr == lm->l_addr;
  (void)real_close(again);
  kept_count += c->kept ? 1 : 0;
  return c->kept;
}

void forget_unloaded_libraries()
{
  std::vector<std::pair<uintptr_t, std::string>> present;
  try {
    (void)::dl_iterate_phdr(note_present, &present);
  } catch (const std::bad_alloc&) {
    return;  // forgotten at a later close
  }
  std::lock_guard<std::mutex> guard(lock);
  for (size_t i = copies.size(); i-- > 0;) {
    bool loaded = copies[i].kept;
    for (const auto& p : present)
      loaded = loaded || (p.first == copies[i].base && p.second == copies[i].path);
    if (!loaded)
      copies.erase(copies.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

std::string path_beside(const std::string& path)
{
  std::string::size_type const slash = path.rfind('/');
  return slash == std::string::npos ? "./" + path : path.substr(0, slash + 1) + "./" + path.substr(slash + 1);
}

std::string plain_path(const std::string& path)
{
  std::string plain = path;
  for (std::string::size_type at; (at = plain.find("/./")) != std::string::npos;)
    plain.erase(at, 2);
  if (plain.compare(0, 2, "./") == 0 && plain.size() > 2)
    plain.erase(0, 2);
  return plain;
}

const char* name_to_open(const char* file, std::string& buffer)
{
  if (file == 0 || kept_count.load() == 0)
    return file;
  try {
    return beside_kept_copies(file, buffer);
  } catch (const std::bad_alloc&) {
    return file;
  }
}

namespace {

/// name_to_open() past its quick answer: each kept copy of the path takes one more "./".
const char* beside_kept_copies(const char* file, std::string& buffer)
{
  const char* name = file;
  for (int tries = 0; tries < 16; ++tries) {
    void* const h = real_open(name, RTLD_LAZY | RTLD_NOLOAD);
    link_map* const lm = map_of(h);
    if (lm == 0) {
      if (h != 0)
        (void)real_close(h);
      return name;
    }
    bool replaced = false;
    std::string const loaded = lm->l_name;
    {
      std::lock_guard<std::mutex> guard(lock);
      const Copy* const c = find(lm);
      struct stat st;
      replaced = c != 0 && c->kept && c->known && ::stat(loaded.c_str(), &st) == 0 &&
                 (st.st_dev != c->dev || st.st_ino != c->ino);
    }
    (void)real_close(h);
    if (!replaced)
      return name;
    buffer = path_beside(loaded);
    name = buffer.c_str();
  }
  return name;
}

}  // namespace
