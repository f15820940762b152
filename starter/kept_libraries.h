/**
 * @file kept_libraries.h
 *
 * The libraries kept mapped for threads that may still run their code (service_threads.h),
 * and the name a library is opened by so that a file installed in place of a kept copy is
 * loaded beside it rather than handed out as the kept copy. Called by the host's dlopen and
 * dlclose (bind_now.cpp), never from a signal handler.
 */
#ifndef STARTER_KEPT_LIBRARIES_H
#define STARTER_KEPT_LIBRARIES_H

#include <string>

/// After a load that returned @a handle: notes the identity (device, inode) of the file the
/// loader mapped, the first time it sees that copy.
void note_library_opened(void* handle);

/// Before @a handle is closed: when a running thread may still run the library's code, marks
/// it to stay mapped for good. Returns whether it is kept.
bool keep_if_running(void* handle);

/// After a close: forgets the identities of the copies no longer loaded.
void forget_unloaded_libraries();

/// The name for the loader to open @a file by: @a file itself, or, when the copy the loader
/// would hand out for that name is a kept one and the file there has since been replaced, the
/// same path with "./" put before its last component, which the loader takes for another
/// library. @a buffer holds a new name.
const char* name_to_open(const char* file, std::string& buffer);

/// @a path with "./" put before its last component.
std::string path_beside(const std::string& path);

/// @a path without the "./" components path_beside() puts in: the file as it was named.
std::string plain_path(const std::string& path);

#endif /* STARTER_KEPT_LIBRARIES_H */
