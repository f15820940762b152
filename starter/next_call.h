/**
 * @file next_call.h
 *
 * The executable defines some of the C library's calls for the whole process (socket_calls.cpp,
 * signal_calls.cpp); each hands the call on to the next definition in the lookup.
 */
#ifndef STARTER_NEXT_CALL_H
#define STARTER_NEXT_CALL_H

#include <dlfcn.h>

#include <atomic>

/// The next definition of @a name after the host's own (the C library's, or a sanitizer's),
/// looked up once and kept in @a cache.
template <typename F>
F next_call(std::atomic<F>& cache, const char* name)
{
  F f = cache.load(std::memory_order_acquire);
  if (f == 0) {
    f = reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
    cache.store(f, std::memory_order_release);
  }
  return f;
}

#endif /* STARTER_NEXT_CALL_H */
