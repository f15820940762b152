// The executable's read-only pages let go of after the start-up.
#include "starter/cold_pages.h"

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
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

class Release_On_First_Pass : public ACE_Event_Handler
{
public:
  int handle_timeout(const ACE_Time_Value&, const void*) override
  {
    (void)release_startup_pages();
    return 0;
  }
};

}  // namespace

size_t release_startup_pages()
{
  size_t released = 0;
  (void)::dl_iterate_phdr(release_segments, &released);
  return released;
}

bool release_startup_pages_when_running(ACE_Reactor* reactor)
{
  // Never destroyed: a reactor that ends with the timer pending still holds it at the exit.
  static Release_On_First_Pass* const release = new Release_On_First_Pass;
  if (reactor != nullptr && reactor->schedule_timer(release, nullptr, ACE_Time_Value::zero) != -1)
    return true;
  (void)release_startup_pages();
  return false;
}
