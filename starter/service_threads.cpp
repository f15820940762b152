// The threads the process starts and where their code comes from: one slot each in a fixed
// table, taken and given back without a lock, so that a signal handler may read it.
#include "starter/service_threads.h"

#include <execinfo.h>
#include <time.h>

#include <atomic>

#include <ace/Base_Thread_Adapter.h>
#include <ace/Task.h>

#include "starter/service_map.h"

namespace {

size_t const SLOTS = 1024;
/// The frames kept of the code that starts a thread: enough to reach a service's own frame
/// through ACE's Task, Thread_Manager and OS layers.
int const FRAMES = 12;

enum { FREE, FILLING, RUNNING };

struct Slot
{
  std::atomic<int> state;
  std::atomic<bool> left;    ///< counted as left running by its service
  unsigned long long service;  ///< the tag of its service, 0 for none
  int count;
  uintptr_t code[FRAMES + 3];
};

Slot slots[SLOTS];
/// One past the highest slot ever taken: the scans read no further, so that a host with a few
/// threads reads a few slots, not the whole table (a stop of 1,000 services scanned it for
/// each, and a scan touched its 150 KB).
std::atomic<size_t> slots_used(0);

/// The slots a scan reads: every slot taken so far. A slot is counted here before it shows
/// RUNNING, so a scan that misses one missed a thread that began after it.
struct Used_Slots
{
  size_t n = slots_used.load(std::memory_order_acquire);
  Slot* begin() const { return slots; }
  Slot* end() const { return slots + n; }
};
thread_local unsigned long long current_service = 0;

/// A service's name as a number that is never 0.
unsigned long long service_tag(const std::string& name)
{
  unsigned long long h = 14695981039346656037ull;
  for (unsigned char c : name)
    h = (h ^ c) * 1099511628211ull;
  return h | 1;
}

/// The routine and argument ACE's thread adapter runs, which it keeps to itself.
struct Adapter_Access : ACE_Base_Thread_Adapter
{
  static uintptr_t routine(const ACE_Base_Thread_Adapter* a)
  {
    return reinterpret_cast<uintptr_t>(a->*(&Adapter_Access::user_func_));
  }
  static void* arg(const ACE_Base_Thread_Adapter* a) { return a->*(&Adapter_Access::arg_); }
};

bool runs_in(const Slot& s, uintptr_t start, uintptr_t end)
{
  for (int i = 0; i < s.count; ++i)
    if (s.code[i] >= start && s.code[i] < end)
      return true;
  return false;
}

void sleep_ms(long ms)
{
  timespec t = {0, ms * 1000000};
  (void)::nanosleep(&t, 0);
}

}  // namespace

int note_thread_created(void* (*routine)(void*), void* arg)
{

  // The lowest free slot, so that the slots taken stay as few as the threads at once.
  for (size_t i = 0; i < SLOTS; ++i) {
    Slot& s = slots[i];
    int expected = FREE;
    if (!s.state.compare_exchange_strong(expected, FILLING, std::memory_order_acquire))
      continue;
    s.left.store(false, std::memory_order_relaxed);
    s.service = current_service;
    int n = 0;
    s.code[n++] = reinterpret_cast<uintptr_t>(routine);
    // ACE starts every thread through its adapter: what runs is the routine it was given, and
    // for an ACE_Task the svc of the task, whose class (its table of virtual functions) lies
    // in the library that defines it.
    if (reinterpret_cast<void*>(routine) == reinterpret_cast<void*>(&ACE_THREAD_ADAPTER_NAME) && arg != 0) {
      const ACE_Base_Thread_Adapter* const a = static_cast<ACE_Base_Thread_Adapter*>(arg);
      s.code[n++] = Adapter_Access::routine(a);
      void* const task = Adapter_Access::arg(a);
      if (s.code[n - 1] == reinterpret_cast<uintptr_t>(&ACE_Task_Base::svc_run) && task != 0)
        s.code[n++] = *static_cast<const uintptr_t*>(task);
    }
    void* frames[FRAMES];
    int const got = ::backtrace(frames, FRAMES);
    for (int f = 0; f < got; ++f)
      s.code[n++] = reinterpret_cast<uintptr_t>(frames[f]);
    s.count = n;
    size_t const used = static_cast<size_t>(&s - slots) + 1;
    for (size_t seen = slots_used.load(std::memory_order_relaxed);
         seen < used && !slots_used.compare_exchange_weak(seen, used, std::memory_order_release);) {
    }
    s.state.store(RUNNING, std::memory_order_release);
    return static_cast<int>(&s - slots);
  }
  return -1;
}

void note_thread_started(int slot)
{
  if (slot >= 0)
    current_service = slots[slot].service;
}

void note_thread_ended(int slot)
{
  if (slot >= 0)
    slots[slot].state.store(FREE, std::memory_order_release);
}

Service_Threads_Scope::Service_Threads_Scope(const std::string& name)
  : previous_(current_service)
{
  current_service = service_tag(name);
}

Service_Threads_Scope::~Service_Threads_Scope()
{
  current_service = previous_;
}

Left_Threads threads_left_by(const std::string& name, void* handle,
                             const std::function<bool()>& sole)
{
  unsigned long long const tag = service_tag(name);
  uintptr_t start = 0, end = 0;
  bool const ranged = loaded_range(handle, start, end);
  int library_left = -1;  // whether the library's threads are this service's to count, once asked
  auto is_left = [&](const Slot& s) {
    if (s.state.load(std::memory_order_acquire) != RUNNING || s.left.load(std::memory_order_relaxed))
      return false;
    if (s.service == tag)
      return true;
    if (!ranged || s.service != 0 || !runs_in(s, start, end))
      return false;
    if (library_left < 0)
      library_left = sole() ? 1 : 0;
    return library_left == 1;
  };
  // A fini may tell its threads to end without waiting for them: they are given a moment.
  for (int waited = 0;; waited += 10) {
    size_t n = 0;
    for (const Slot& s : Used_Slots())
      n += is_left(s) ? 1 : 0;
    if (n == 0)
      return Left_Threads();
    if (waited >= 200)
      break;
    sleep_ms(10);
  }
  Left_Threads left;
  for (Slot& s : Used_Slots())
    if (is_left(s)) {
      s.left.store(true, std::memory_order_relaxed);
      ++(s.service == tag ? left.own : left.library);
    }
  return left;
}

size_t threads_left_running()
{
  size_t n = 0;
  for (const Slot& s : Used_Slots())
    n += s.state.load(std::memory_order_acquire) == RUNNING && s.left.load(std::memory_order_relaxed);
  return n;
}

bool thread_runs_in(uintptr_t start, uintptr_t end)
{
  for (const Slot& s : Used_Slots())
    if (s.state.load(std::memory_order_acquire) == RUNNING && runs_in(s, start, end))
      return true;
  return false;
}
