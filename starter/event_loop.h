/**
 * @file event_loop.h
 *
 * The event loop, on the calling thread or on a pool of threads, and the quiescence that
 * reloads and stops rely on: a reload asked for runs only once the loop has ended on every
 * thread, so no event of a service is dispatched on any thread meanwhile. What a reload does
 * is its owner's callback; the loop only decides when it runs.
 */
#ifndef STARTER_EVENT_LOOP_H
#define STARTER_EVENT_LOOP_H

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

class ACE_Reactor;

/**
 * @class Event_Loop
 *
 * @brief Runs a reactor's loop until a stop is asked for, and a reload between two runs.
 */
class Event_Loop
{
public:
  /// A loop over @a reactor (which must outlive it) that calls @a reload for each reload.
  Event_Loop(ACE_Reactor* reactor, std::function<void()> reload);

  /// Runs the reactor's loop on the calling thread (@a threads 0 or 1) or on a pool of
  /// @a threads threads, which start with @a pool_blocked blocked, while the caller waits,
  /// until a stop is asked for or the loop ends by itself. Each asked-for reload runs on the
  /// calling thread once the loop has ended on every thread; the loop then runs again.
  void run(size_t threads, const sigset_t& pool_blocked);

  /// Ends the loop on every thread for good; run() then returns. From any thread.
  void request_stop();

  /// Ends the loop on every thread so that run() calls the reload. Requests made before the
  /// reload starts are carried out by that one reload. From any thread.
  void request_reload();

  /// Ends the loop on every thread so that run() calls @a job on its calling thread, after the
  /// reload when one was asked for too; the loop then runs again. From any thread. A job still
  /// waiting at a stop is destroyed without running.
  void request_quiesced(std::function<void()> job);

private:
  /// Takes the waiting jobs, so that a job may ask for another.
  std::vector<std::function<void()>> take_jobs();

  ACE_Reactor* const reactor_;
  std::function<void()> const reload_;
  /// Set by request_stop(); never reset.
  std::atomic<bool> stop_requested_;
  /// Set by request_reload(), cleared when the reload starts.
  std::atomic<bool> reload_requested_;
  /// Guards jobs_, which any loop thread may add to.
  std::mutex jobs_lock_;
  std::vector<std::function<void()>> jobs_;
};

#endif /* STARTER_EVENT_LOOP_H */
