/**
 * @file service_map.h
 *
 * Which loaded library an address lies in, and which services were opened from that library:
 * what a crash or stall record names. The address ranges are noted whenever the process opens
 * or closes a library, the services after each change to the Service Repository; the lookups
 * allocate nothing and take no lock, so that a signal handler may make them.
 */
#ifndef STARTER_SERVICE_MAP_H
#define STARTER_SERVICE_MAP_H

#include <cstddef>
#include <cstdint>

/// One library as last noted. Its texts are always terminated.
struct Mapped_Library
{
  uintptr_t start;     ///< first byte of its loaded segments
  uintptr_t end;       ///< one past their last byte
  uintptr_t base;      ///< the loader's base address (its link map's l_addr)
  bool loaded;         ///< false once the process has closed it: kept to name stale code
  char path[200];
  char services[400];  ///< the names of the services opened from it, ", "-separated; may be empty
};

/// Notes the address ranges of every library loaded now; a library gone since the last note is
/// kept as unloaded. Called by the host's dlopen and dlclose; from any thread but a handler.
void note_loaded_libraries();

/// Notes, for each loaded library, the services in the Service Repository opened from it.
/// After the services open, after each reload and restart, with the loop quiesced.
void note_services();

/// The address range of the library the loader handle @a handle holds, as last noted; false
/// when it holds none that was noted.
bool loaded_range(void* handle, uintptr_t& start, uintptr_t& end);

/// Async-signal-safe: the library @a address lies in, a loaded one before one unloaded since;
/// null when none.
const Mapped_Library* library_at(uintptr_t address);

/// Async-signal-safe: the first of @a frames (innermost first) that lies in a library serving
/// at least one service, or null.
const Mapped_Library* service_library_among(void* const* frames, int count);

/// Async-signal-safe: whether @a lib serves at least one service.
inline bool serves(const Mapped_Library* lib)
{
  return lib != 0 && lib->services[0] != 0;
}

#endif /* STARTER_SERVICE_MAP_H */
