/**
 * @file service_threads.h
 *
 * The threads the process starts, each with where its code comes from, so that the host tells
 * the threads a service leaves running after its fini, and never unmaps a library such a
 * thread may still run. A thread is a service's when it was started while the host carried out
 * the service's directive, or by a thread of the service's. It runs a library's code when its
 * start routine, the routine ACE's thread adapter calls, the ACE_Task whose svc it runs, or one
 * of the frames that started it lies in the library.
 */
#ifndef STARTER_SERVICE_THREADS_H
#define STARTER_SERVICE_THREADS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

/// Notes a thread about to be created with @a routine and @a arg, from the calling thread.
/// Returns its slot, or -1 when every slot is taken (the thread is not followed then). From the
/// host's pthread_create only.
int note_thread_created(void* (*routine)(void*), void* arg);

/// First in the new thread of @a slot: the threads it starts inherit its service.
void note_thread_started(int slot);

/// The thread of @a slot has ended, or was never created.
void note_thread_ended(int slot);

/// While one lives, the threads the calling thread starts are the service @a name's.
class Service_Threads_Scope
{
public:
  explicit Service_Threads_Scope(const std::string& name);
  ~Service_Threads_Scope();
  Service_Threads_Scope(const Service_Threads_Scope&) = delete;
  Service_Threads_Scope& operator=(const Service_Threads_Scope&) = delete;

private:
  unsigned long long previous_;
};

/// The threads a service left running after its fini, not counted before.
struct Left_Threads
{
  size_t own = 0;      ///< started while its directive was carried out, or by those threads
  size_t library = 0;  ///< started outside any service's directive, running its library's code
};

/// The threads still running that the service @a name left after its fini: its own, and when
/// @a sole() (no other open service uses its library, that of @a handle; asked only when such a
/// thread runs) the others that run the library's code. Waits a little for threads that are
/// ending.
Left_Threads threads_left_by(const std::string& name, void* handle,
                             const std::function<bool()>& sole);

/// The threads counted by threads_left_by() that are still running. Async-signal-safe.
size_t threads_left_running();

/// Whether a running thread may run code in [@a start, @a end). Async-signal-safe.
bool thread_runs_in(uintptr_t start, uintptr_t end);

#endif /* STARTER_SERVICE_THREADS_H */
