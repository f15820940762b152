/**
 * @file event_loop.h
 *
 * The event loop, on the calling thread or on a pool of threads, and the quiescence that
 * reloads and stops rely on: a reload asked for runs only once the loop has ended on every
 * thread, so no event of a service is dispatched on any thread meanwhile. What a reload does
 * is its owner's callback; the loop only decides when it runs. The pool's threads are started
 * once and kept across reloads.
 */
#ifndef STARTER_EVENT_LOOP_H
#define STARTER_EVENT_LOOP_H

#include <signal.h>

#include <atomic>
#include <condition_variable>
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
  /// A loop over @a reactor (which must outlive it) that calls @a reload for each reload. A
  /// pool thread calls @a after_event, when given, with the signals it blocks after each event
  /// it dispatched: a signal raised on it waits there. Each thread that runs the loop calls
  /// @a loop_thread, when given, before it first does.
  Event_Loop(ACE_Reactor* reactor, std::function<void()> reload,
             std::function<void(const sigset_t&)> after_event = nullptr,
             std::function<void()> loop_thread = nullptr);

  /// Spawns @a threads (more than one) pool threads, which start with @a pool_blocked blocked
  /// and run the loop until end_threads(), reloads included. Call at most once. Returns how
  /// many started; when fewer than asked for, the failure is logged once, with errno, and the
  /// ones started run the loop (the caller of run() does, when none did).
  size_t start_threads(size_t threads, const sigset_t& pool_blocked);

  /// Runs the reactor's loop on the pool that start_threads() started (starting one first
  /// when @a threads is more than one and none was tried), or else on the calling thread, until
  /// a stop is asked for or the loop ends by itself; then ends the pool. Each asked-for reload
  /// runs on the calling thread once the loop has ended on every thread; the loop then runs
  /// again.
  void run(size_t threads, const sigset_t& pool_blocked);

  /// Ends the loop on every pool thread and waits for each to return; nothing without a pool.
  void end_threads();

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
  /// Thread function of the pool; @a arg is the Event_Loop.
  static void* pool_thread(void* arg);
  /// Waits until every pool thread has left the loop.
  void wait_until_all_out();

  ACE_Reactor* const reactor_;
  std::function<void()> const reload_;
  std::function<void(const sigset_t&)> const after_event_;
  std::function<void()> const loop_thread_;
  /// Set by request_stop(); never reset.
  std::atomic<bool> stop_requested_;
  /// Set by request_reload(), cleared when the reload starts.
  std::atomic<bool> reload_requested_;

  // The pool. A thread that has left the loop counts itself out and waits for the next round
  // (the loop reset after a reload) or for the end; the main thread waits until every thread
  // is out before it reloads or returns.
  std::mutex lock_;
  std::condition_variable changed_;
  bool tried_ = false;       ///< start_threads() ran
  sigset_t pool_blocked_;    ///< what the pool's threads block
  size_t running_ = 0;       ///< threads started, each of which runs until the end
  size_t out_ = 0;           ///< threads that have left the loop in this round
  unsigned long round_ = 0;  ///< bumped when the loop may run again
  bool ending_ = false;      ///< set when the threads are to return
  int group_ = -1;           ///< the threads' group in ACE's thread manager

  /// Guards jobs_, which any loop thread may add to.
  std::mutex jobs_lock_;
  std::vector<std::function<void()>> jobs_;
};

#endif /* STARTER_EVENT_LOOP_H */
