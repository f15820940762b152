/**
 * @file stall_watch.h
 *
 * The stall watch: a thread of its own probes the loop every fraction of a second (a byte on a
 * pipe the loop reads) and looks at when the loop last answered. When it has not within the
 * threshold, the loop is held (a handler that blocks, a reload stuck in a service's init): each
 * loop thread is sampled with the host's real-time signal, and one warning names the library
 * and services it is executing in; when the loop answers again, one record says how long it
 * was held. What the stall is, while it lasts, is readable by the control socket's status and,
 * without a lock, by the stop deadline's record.
 */
#ifndef STARTER_STALL_WATCH_H
#define STARTER_STALL_WATCH_H

#include <signal.h>

#include <cstddef>
#include <string>

class ACE_Reactor;

/// The default threshold: a dispatch held longer is a stall.
long const STALL_THRESHOLD_MS = 1000;

/// Makes the watch's pipe before the services open, so that it takes low descriptor numbers (the
/// select reactor watches none past its set's size). start_stall_watch() makes it when this has
/// not or could not.
void prepare_stall_watch();

/// Starts watching @a reactor's loop, a stall being a probe not answered within
/// @a threshold_ms. False, logged, when the thread cannot start (the host runs on unwatched).
bool start_stall_watch(ACE_Reactor* reactor, long threshold_ms = STALL_THRESHOLD_MS);

/// Ends the watch: its thread acts no more once this returns, and is left to the process's
/// end; nothing when none runs. Before the reactor goes.
void stop_stall_watch();

/// The calling thread runs the loop: it is one of those sampled when the loop stalls.
void note_loop_thread();

/// Where the loop is held, "busy 4.2 s in [NAME] (thread TID), in LIB, which serves A, B";
/// empty when it is not.
std::string loop_stall();

/// Async-signal-safe: loop_stall() copied into @a text (at most @a size bytes, terminated).
/// False, @a text untouched, when the loop is not held.
bool loop_stall_text(char* text, size_t size);

/// Async-signal-safe, from the handler of the host's real-time signal: when @a info is the
/// watch's request for a sample, takes it (where the interrupted thread, @a context, is) and
/// returns true.
bool take_stall_sample(const siginfo_t* info, const void* context);

#endif /* STARTER_STALL_WATCH_H */
