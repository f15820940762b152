// The executable's read-only pages let go of after the start-up.
#include "starter/cold_pages.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

int release_segments(dl_phdr_info* info, size_t, void* arg)
{
  size_t& released = *static_cast<size_t*>(arg);
  uintptr_t const page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    // A written page is the process's only copy: only segments never written, and only the
    // pages wholly inside one, so that a page shared with a writable neighbour is kept.
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) != 0)
      continue;
    uintptr_t const start = (info->dlpi_addr + ph.p_vaddr + page - 1) & ~(page - 1);
    uintptr_t const end = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz) & ~(page - 1);
    if (end > start && ::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED) == 0)
      released += end - start;
  }
  return 1;  // the executable is the loader's first entry: no other object is touched
}

}  // namespace

size_t release_startup_pages()
{
  size_t released = 0;
  (void)::dl_iterate_phdr(release_segments, &released);
  return released;
}
