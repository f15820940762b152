/**
 * @file event_loop.h
 *
 * The host's event loop, on the main thread or on a pool of threads, and the reconfiguration
 * and stop it carries out with the loop quiesced: no event of a service is dispatched on any
 * thread while the services are reloaded or finalised.
 */
#ifndef STARTER_EVENT_LOOP_H
#define STARTER_EVENT_LOOP_H

#include <cstddef>

/// Spawns @a threads threads (more than one) that run the process-wide reactor's loop, kept
/// for the host's life, reloads included. Returns how many started; when fewer than asked
/// for, the failure is logged once, with errno, and the ones started run the loop (the caller
/// of run_event_loop() does, when none did). Call once, once the services are open.
size_t start_event_loop_threads(size_t threads);

/// Runs the process-wide reactor's loop on the pool started, or else on the calling thread,
/// until a stop is asked for or the loop ends by itself; then ends the pool's threads. Each
/// asked-for reload runs on the calling thread once the loop has ended on every thread; the
/// loop then runs again.
void run_event_loop();

/// Ends the loop on every pool thread and waits for each to return: for a start that stops
/// before run_event_loop().
void end_event_loop_threads();

/// Ends the loop on every thread for good; run_event_loop() then returns. From the loop.
void request_stop();

/// Ends the loop on every thread so that run_event_loop() reloads the services. Requests made
/// before the reload starts are carried out by that one reload. From the loop.
void request_reload();

#endif /* STARTER_EVENT_LOOP_H */
