/**
 * @file last_words.h
 *
 * Every way the host ends outside main(): a fatal signal, a signal nobody handles, an exception
 * that escapes a service's handler, a service's exit(), the stop deadline. Each writes one
 * record first, naming the thread and the library and services it was in; then the pid file
 * and the control socket are removed, and a second record says so; only then is a back trace
 * tried. The records are built in fixed buffers and written with write(2) to standard error
 * (with the journal's priority prefixes), never through ACE's logging, which may hold a lock or
 * need the heap the fault broke. Every thread the process starts gets an alternate signal
 * stack, so that a stack overflow is reported too.
 */
#ifndef STARTER_LAST_WORDS_H
#define STARTER_LAST_WORDS_H

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct Mapped_Library;

/// A record a dying thread builds without allocating; texts beyond its room are cut.
class Death_Text
{
public:
  Death_Text& add(const char* s);
  Death_Text& add(long n);
  Death_Text& add_hex(uintptr_t n);
  const char* c_str() const { return text_; }
  size_t size() const { return size_; }

private:
  char text_[1536] = {0};
  size_t size_ = 0;
};

/// What a death is blamed on: the library the dying thread was executing in and, when that
/// serves no service, the first library on its stack that does. What a record kept across
/// restarts needs is here: the library's path and the services opened from it.
struct Death_Blame
{
  const Mapped_Library* at = 0;      ///< the library of the code that was running, or null
  const Mapped_Library* served = 0;  ///< the library of the services blamed, or null
  bool interrupted = false;          ///< read off an interrupted context, not the stack alone
  bool touched = false;              ///< served is what the faulting access touched
};

/// Once, first in main(): the terminate handler, the main thread's alternate signal stack, and
/// the back trace's code loaded (its first use may allocate).
void prepare_last_words();

/// Once, before the services open: from now until main_returns(), an exit() is a service's.
void watch_for_service_exit();

/// From main(), once the services are finalised: an exit from then on is the host's own.
void main_returns();

/// An alternate signal stack, made before the thread it is for (so that a thread that could
/// not have one is not created), or null; adopted by the calling thread, which frees it when it
/// ends (one it cannot adopt is dropped); dropped unused. Every thread the process creates
/// adopts one first (see bind_now.cpp).
void* new_alt_stack();
void adopt_alt_stack(void* stack);
void drop_alt_stack(void* stack);

/// The control socket the host serves, its path and file, for removal at death; and its end.
void note_control_socket(const char* path, dev_t dev, ino_t ino);
void forget_control_socket();

/// Async-signal-safe: adds to @a t the thread's name and id, " in [NAME] (thread TID)".
void add_thread(Death_Text& t);

/// Async-signal-safe: what the calling thread is executing in, from the signal @a context
/// (null: from its stack alone), skipping @a skip frames of the caller's own; a fault's
/// @a address counts when the code is no service's but the memory it touched is.
Death_Blame blame_thread(const void* context, int skip, const void* address = 0);

/// Async-signal-safe: adds @a b to @a t: "in LIB, which serves A, B" and the like.
void add_blame(Death_Text& t, const Death_Blame& b);

/// Async-signal-safe: the handlers of the fatal signals (SA_SIGINFO, on the alternate stack)
/// and of the signals nobody handles. Both end the process by the signal.
void die_of_fatal_signal(int signo, siginfo_t* info, void* context);
void die_of_unhandled_signal(int signo);

/// Async-signal-safe: the stop did not complete within @a seconds; the record names the
/// services left unfinalised, where the thread that took the signal (@a context) is and, when
/// @a loop is not empty, where the loop is stuck; then the files go and the process exits with
/// @a status.
void die_of_stop_deadline(int seconds, int status, const void* context, const char* loop);

/// The terminate handler: names the service whose handler threw, where its code is still on
/// the stack, removes the files, aborts.
void handle_terminate();

#endif /* STARTER_LAST_WORDS_H */
