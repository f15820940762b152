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
#include <functional>

/// Runs the process-wide reactor's loop on the calling thread (@a threads 0 or 1) or on a pool
/// of @a threads threads while the caller waits, until a stop is asked for or the loop ends by
/// itself. Each asked-for reload runs on the calling thread once the loop has ended on every
/// thread; the loop then runs again.
void run_event_loop(size_t threads);

/// Ends the loop on every thread for good; run_event_loop() then returns. From the loop.
void request_stop();

/// Ends the loop on every thread so that run_event_loop() reloads the services. Requests made
/// before the reload starts are carried out by that one reload. From the loop.
void request_reload();

/// Ends the loop on every thread so that run_event_loop() runs @a job on its calling thread,
/// after the reload when one was asked for too, then runs the loop again. From the loop. A
/// job still waiting at a stop is destroyed without running.
void request_quiesced(std::function<void()> job);

#endif /* STARTER_EVENT_LOOP_H */
