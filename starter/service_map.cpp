// The map from addresses to libraries and their services. Two tables: a writer fills the one
// not in use, under a lock, and publishes it with one atomic store, so that a handler reading
// the published one never sees it half written (a second change while a handler still reads
// the older table is the race accepted: the process is dying then).
#include "starter/service_map.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <ace/DLL.h>
#include <ace/Service_Types.h>

#include "starter/config/repository.h"

namespace {

size_t const MAX_LIBRARIES = 160;

struct Table
{
  size_t count;
  Mapped_Library libs[MAX_LIBRARIES];
};

Table tables[2];
std::atomic<int> published(0);
std::mutex writing;

/// Copies @a from into @a to, cut to fit and terminated.
template <size_t N>
void copy_text(char (&to)[N], const char* from)
{
  size_t const n = std::min(std::strlen(from), N - 1);
  std::memcpy(to, from, n);
  to[n] = 0;
}

/// The table a writer fills: a copy of the published one's entries in use. The whole table
/// is some 100 KB, nearly all of it room: copying only what is used keeps that room untouched,
/// so it is never made resident.
Table& draft()
{
  int const cur = published.load(std::memory_order_acquire);
  Table& t = tables[1 - cur];
  t.count = tables[cur].count;
  std::memcpy(t.libs, tables[cur].libs, t.count * sizeof t.libs[0]);
  return t;
}

void publish(const Table& t)
{
  published.store(static_cast<int>(&t - tables), std::memory_order_release);
}

/// The loaded entry of @a t at @a base named @a path, or null.
Mapped_Library* find(Table& t, uintptr_t base, const char* path)
{
  for (size_t i = 0; i < t.count; ++i)
    if (t.libs[i].loaded && t.libs[i].base == base && std::strncmp(t.libs[i].path, path, sizeof t.libs[i].path - 1) == 0)
      return &t.libs[i];
  return 0;
}

/// A free entry of @a t: a new one, else the oldest unloaded one; null when all are loaded.
Mapped_Library* take_slot(Table& t)
{
  if (t.count < MAX_LIBRARIES)
    return &t.libs[t.count++];
  for (size_t i = 0; i < t.count; ++i)
    if (!t.libs[i].loaded) {
      std::memmove(&t.libs[i], &t.libs[i + 1], (t.count - i - 1) * sizeof t.libs[0]);
      return &t.libs[t.count - 1];
    }
  return 0;
}

struct Scan
{
  Table* table;
  bool* seen;  ///< per entry: found loaded in this scan
};

int note_one(dl_phdr_info* info, size_t, void* arg)
{
  Scan& scan = *static_cast<Scan*>(arg);
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD)
      continue;
    low = std::min<uintptr_t>(low, info->dlpi_addr + ph.p_vaddr);
    high = std::max<uintptr_t>(high, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
  }
  if (high == 0)
    return 0;
  // The executable has no name of its own in the loader's list; its file stays the same for
  // the life of the process, so it is read once (the writers' lock is held).
  static char exe[sizeof(Mapped_Library::path)];
  const char* path = info->dlpi_name;
  if (path == 0 || *path == 0) {
    if (exe[0] == 0) {
      ssize_t const n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
      exe[n > 0 ? n : 0] = 0;
    }
    path = exe;
  }
  Mapped_Library* lib = find(*scan.table, info->dlpi_addr, path);
  if (lib == 0 && (lib = take_slot(*scan.table)) != 0) {
    lib->loaded = true;
    lib->base = info->dlpi_addr;
    copy_text(lib->path, path);
    lib->services[0] = 0;
  }
  if (lib != 0) {
    lib->start = low;
    lib->end = high;
    scan.seen[lib - scan.table->libs] = true;
  }
  return 0;
}

}  // namespace

void note_loaded_libraries()
{
  std::lock_guard<std::mutex> guard(writing);
  Table& t = draft();
  bool seen[MAX_LIBRARIES] = {false};
  Scan scan = {&t, seen};
  (void)::dl_iterate_phdr(note_one, &scan);
  for (size_t i = 0; i < t.count; ++i)
    if (!seen[i])
      t.libs[i].loaded = false;
  publish(t);
}

void note_services()
{
  // Read off the repository before the lock: ACE's loader takes its own locks around dlopen,
  // which takes this one.
  struct Opened
  {
    uintptr_t base;
    std::string path;
    std::string name;
  };
  std::vector<Opened> opened;
  for_each_service([&opened](const ACE_Service_Type* s) {
    link_map* lm = 0;
    ACE_SHLIB_HANDLE const h = s->dll().get_handle();
    if (h != ACE_SHLIB_INVALID_HANDLE && ::dlinfo(h, RTLD_DI_LINKMAP, &lm) == 0 && lm != 0)
      opened.push_back({lm->l_addr, lm->l_name, s->name()});
  });
  std::lock_guard<std::mutex> guard(writing);
  Table& t = draft();
  for (size_t i = 0; i < t.count; ++i)
    if (t.libs[i].loaded)
      t.libs[i].services[0] = 0;
  for (const Opened& o : opened) {
    Mapped_Library* const lib = find(t, o.base, o.path.c_str());
    if (lib == 0)
      continue;
    size_t const used = std::strlen(lib->services);
    std::string const add = (used != 0 ? ", " : "") + o.name;
    if (used + add.size() < sizeof lib->services)
      std::memcpy(lib->services + used, add.c_str(), add.size() + 1);
  }
  publish(t);
}

bool loaded_range(void* handle, uintptr_t& start, uintptr_t& end)
{
  link_map* lm = 0;
  if (handle == 0 || ::dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || lm == 0 || lm->l_name == 0)
    return false;
  std::lock_guard<std::mutex> guard(writing);
  Mapped_Library* const lib = find(tables[published.load(std::memory_order_acquire)], lm->l_addr, lm->l_name);
  if (lib == 0)
    return false;
  start = lib->start;
  end = lib->end;
  return true;
}

const Mapped_Library* library_at(uintptr_t address)
{
  const Table& t = tables[published.load(std::memory_order_acquire)];
  const Mapped_Library* stale = 0;
  for (size_t i = 0; i < t.count; ++i) {
    const Mapped_Library& lib = t.libs[i];
    if (address < lib.start || address >= lib.end)
      continue;
    if (lib.loaded)
      return &lib;
    stale = &lib;
  }
  return stale;
}

const Mapped_Library* service_library_among(void* const* frames, int count)
{
  for (int i = 0; i < count; ++i) {
    const Mapped_Library* const lib = library_at(reinterpret_cast<uintptr_t>(frames[i]));
    if (serves(lib))
      return lib;
  }
  return 0;
}
