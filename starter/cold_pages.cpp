// The read-only pages of the executable and its libraries let go of after the start-up.
#include "starter/cold_pages.h"

#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

/// What a release walks with: the page size and the process's page map (-1 when it cannot be
/// read: the executable alone is released then).
struct Walk
{
  uintptr_t page;
  int pagemap;
  size_t released;
  bool first;  ///< the loader's first entry, the executable, is next
};

/// Whether every page of [start, end) is the file's own or not present: none is a copy the
/// process wrote (text relocations, code patched in place), which letting go of would lose.
bool only_file_pages(const Walk& w, uintptr_t start, uintptr_t end)
{
  uint64_t entries[256];
  for (uintptr_t at = start; at < end;) {
    size_t const n = std::min<size_t>((end - at) / w.page, sizeof entries / sizeof entries[0]);
    off_t const offset = static_cast<off_t>(at / w.page * sizeof entries[0]);
    if (::pread(w.pagemap, entries, n * sizeof entries[0], offset) !=
        static_cast<ssize_t>(n * sizeof entries[0]))
      return false;
    for (size_t i = 0; i < n; ++i) {
      bool const present = (entries[i] >> 63) & 1, swapped = (entries[i] >> 62) & 1,
                 file = (entries[i] >> 61) & 1;
      if (swapped || (present && !file))
        return false;
    }
    at += n * w.page;
  }
  return true;
}

int release_segments(dl_phdr_info* info, size_t, void* arg)
{
  Walk& w = *static_cast<Walk*>(arg);
  bool const executable = w.first;
  w.first = false;
  if (!executable && (w.pagemap < 0 || info->dlpi_name == 0 ||
                      std::strstr(info->dlpi_name, "linux-vdso") != 0))
    return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    // A written page is the process's only copy: only segments never written, and only the
    // pages wholly inside one, so that a page shared with a writable neighbour is kept.
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) != 0)
      continue;
    uintptr_t const start = (info->dlpi_addr + ph.p_vaddr + w.page - 1) & ~(w.page - 1);
    uintptr_t const end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz) & ~(w.page - 1);
    if (end <= start || (w.pagemap >= 0 && !only_file_pages(w, start, end)))
      continue;
    if (::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0)
      w.released += end - start;
  }
  return 0;
}

class Release_When_Settled : public ACE_Event_Handler
{
public:
  int handle_timeout(const ACE_Time_Value&, const void*) override
  {
    timer = -1;
    (void)release_startup_pages();
    return 0;
  }
  long timer = -1;
};

/// How long after the loop runs (again) the pages go: a client that comes at once finds the
/// code it needs still mapped, and the release does not wait in the way of its reply.
ACE_Time_Value const SETTLE(1);

}  // namespace

size_t release_startup_pages()
{
  // The loader's list is walked under its lock, which a library's unloading takes too: no
  // range released can be unmapped, or mapped again for something else, meanwhile.
  Walk w = {static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE)),
            ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC), 0, true};
  (void)::dl_iterate_phdr(release_segments, &w);
  if (w.pagemap >= 0)
    (void)::close(w.pagemap);
  return w.released;
}

bool release_startup_pages_when_running(ACE_Reactor* reactor)
{
  // Never destroyed: a reactor that ends with the timer pending still holds it at the exit.
  static Release_When_Settled* const release = new Release_When_Settled;
  if (reactor != nullptr) {
    // One release pending at most: reloads in a row move it on.
    if (release->timer != -1)
      (void)reactor->cancel_timer(release->timer, nullptr, 1);
    release->timer = reactor->schedule_timer(release, nullptr, SETTLE);
    if (release->timer != -1)
      return true;
  }
  (void)release_startup_pages();
  return false;
}
