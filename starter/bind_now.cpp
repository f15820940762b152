// Every library the host process opens is bound at once: a symbol that nothing defines fails
// the open, with its name, instead of ending the whole host when the code that needs it first
// runs. The Service Configurator opens service libraries with a mode fixed inside ACE
// (RTLD_LAZY), which no interface of ACE lets the host change; so the host, whose exported
// symbols come first in the lookup, provides dlopen itself and hands the call on. The same
// way it notes where each library lies once it is loaded or closed (service_map.h), and gives
// every thread the process creates, the services' own included, an alternate signal stack, so
// that a stack overflow on it is reported (last_words.h), and notes where its code comes from:
// a library a thread may still run is never unmapped (service_threads.h, kept_libraries.h).
// Each library's symbols stay its own (RTLD_LOCAL, where ACE asks for RTLD_GLOBAL): two
// services built from copies of one source keep the same class names, and with global binding
// the second would run the first one's code. A library that needs another's symbols names it
// as a dependency (linked with -z defs, it must).
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <string>

#include "starter/kept_libraries.h"
#include "starter/last_words.h"
#include "starter/service_map.h"
#include "starter/service_threads.h"

extern "C" void* dlopen(const char* file, int mode)
{
  typedef void* (*Open)(const char*, int);
  static Open const next = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "dlopen"));
  if (next == 0)
    return 0;
  std::string beside;
  void* const handle = next(name_to_open(file, beside), (mode & ~(RTLD_LAZY | RTLD_GLOBAL)) | RTLD_NOW | RTLD_LOCAL);
  if (handle != 0 && (mode & RTLD_NOLOAD) == 0) {
    note_loaded_libraries();
    note_library_opened(handle);
  }
  return handle;
}

extern "C" int dlclose(void* handle)
{
  typedef int (*Close)(void*);
  static Close const next = reinterpret_cast<Close>(::dlsym(RTLD_NEXT, "dlclose"));
  if (next == 0)
    return -1;
  (void)keep_if_running(handle);
  int const closed = next(handle);
  note_loaded_libraries();
  forget_unloaded_libraries();
  return closed;
}

namespace {

struct Start
{
  void* (*routine)(void*);
  void* arg;
  void* alt_stack;
  int slot;  ///< its place among the threads followed, or -1
};

// Start records in static storage, so that a new thread gives its record back without freeing
// memory: a thread's first free makes it a malloc arena of its own (64 MB of address space,
// 132 KB touched), which a thread that never allocates, such as the stall watch, need not pay
// for. More creations at once than the pool holds take their records from the heap.
constexpr int START_POOL = 32;
Start start_pool[START_POOL];
std::atomic<bool> start_taken[START_POOL];

Start* take_start()
{
  for (int i = 0; i < START_POOL; ++i) {
    bool free_slot = false;
    if (start_taken[i].compare_exchange_strong(free_slot, true, std::memory_order_acquire))
      return &start_pool[i];
  }
  return new (std::nothrow) Start;
}

void give_start_back(Start* start)
{
  if (start >= start_pool && start < start_pool + START_POOL)
    start_taken[start - start_pool].store(false, std::memory_order_release);
  else
    delete start;
}

/// Gives the thread's slot back however it ends: by returning, pthread_exit or cancellation.
struct Slot_Release
{
  int slot;
  ~Slot_Release() { note_thread_ended(slot); }
};

void* start_with_alt_stack(void* arg)
{
  Start const start = *static_cast<const Start*>(arg);
  give_start_back(static_cast<Start*>(arg));
  adopt_alt_stack(start.alt_stack);
  note_thread_started(start.slot);
  Slot_Release const release{start.slot};
  return start.routine(start.arg);
}

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                              void* (*routine)(void*), void* arg) noexcept
{
  typedef int (*Create)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static Create const next = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
  if (next == 0)
    return EAGAIN;
  // Without room for its alternate stack, a thread would not have room for much else either:
  // it is refused here, where its creator sees the failure, rather than fault once started.
  void* const alt_stack = new_alt_stack();
  Start* const start = alt_stack != 0 ? take_start() : 0;
  if (start == 0) {
    drop_alt_stack(alt_stack);
    return EAGAIN;
  }
  *start = Start{routine, arg, alt_stack, note_thread_created(routine, arg)};
  int const created = next(thread, attr, start_with_alt_stack, start);
  if (created != 0) {
    note_thread_ended(start->slot);
    drop_alt_stack(alt_stack);
    give_start_back(start);
  }
  return created;
}
