/**
 * @file cold_pages.h
 *
 * The code and read-only data that the start-up ran and read (the command line, the check,
 * the directive reader, the apply, and in the libraries the loader, ACE's configurator, the
 * services' set-up) let go of once the services run: the pages stay in the page cache and come
 * back on the next touch, the running host keeps mapped only what it uses.
 */
#ifndef STARTER_COLD_PAGES_H
#define STARTER_COLD_PAGES_H

#include <cstddef>

/// Unmaps from the process the resident pages of the segments that are never written (code,
/// read-only data and symbol tables) of the executable and of every library loaded; never a
/// writable one, nor one of a library holding a page the process wrote (told by its page map,
/// without which the executable's alone go). Returns the bytes advised away, 0 when none
/// (nothing is logged: a refusal costs only memory).
size_t release_startup_pages();

class ACE_Reactor;

/// Has release_startup_pages() run a second after @a reactor's loop runs (a timer; called
/// again, after a reload, it moves the one pending): the first clients' replies do not wait
/// for it, nor for the pages it lets go of, and what the loop and the watch run is touched
/// again at once. False when the timer could not be scheduled; the pages are then released at
/// once.
bool release_startup_pages_when_running(ACE_Reactor* reactor);

#endif /* STARTER_COLD_PAGES_H */
