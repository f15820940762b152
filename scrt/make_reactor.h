/**
 * @file make_reactor.h
 *
 * Reactors by name: "priority", "tp", "select" and "dev_poll", each built with fixed
 * construction arguments. An unknown name yields no factory; a factory that cannot allocate
 * returns null with errno ENOMEM and leaks nothing.
 */
#ifndef SCRT_MAKE_REACTOR_H
#define SCRT_MAKE_REACTOR_H

#include <cstddef>

#include <ace/Reactor.h>

/// Builds a new reactor that owns its implementation; null with errno ENOMEM on failure.
typedef ACE_Reactor* (*make_reactor_t)();

/**
 * Returns the factory registered under @a type (lower-case, matched exactly), or null with
 * errno ENOENT when there is none or @a type is null. The thread-pool kind "tp" needs at least
 * two event-loop threads: with @a threads 0 or 1 it is refused, null with errno EINVAL, and
 * logged at LM_ERROR as "The number of threads (N) of thread pool reactor is less than 2". The
 * other kinds are returned for any count; nothing else is logged here.
 */
make_reactor_t get_reactor_factory(const ACE_TCHAR* type, size_t threads);

/**
 * Builds a @a T and returns a new ACE_Reactor that owns it, or null with errno ENOMEM when
 * either allocation fails (a built @a T is then destroyed again). Instantiated in
 * make_reactor.cpp for the four kinds of its table only.
 */
template <class T>
ACE_Reactor* make_reactor();

#endif /* SCRT_MAKE_REACTOR_H */
