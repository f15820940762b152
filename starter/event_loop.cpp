// The event loop, its pool of threads, and what runs with it quiesced.
//
// A reload or a stop ends the reactor's loop on every thread and waits until each has left
// it; only then does the calling thread reload or return to finalise. Ending the loop is the
// one barrier every reactor kind offers: a thread that is still dispatching finishes its
// callback first, and a thread that has left dispatches nothing until the loop is reset.
#include "starter/event_loop.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>

#include "scrt/log_macros.h"
#include "starter/reload.h"
#include "starter/signals.h"

/// Set by request_stop(); never reset.
static std::atomic<bool> stop_requested(false);
/// Set by request_reload(), cleared when the reload starts.
static std::atomic<bool> reload_requested(false);

void request_stop()
{
  stop_requested = true;
  ACE_Reactor::instance()->end_reactor_event_loop();
}

void request_reload()
{
  reload_requested = true;
  ACE_Reactor::instance()->end_reactor_event_loop();
}

/// Numbers the pool's threads for their names.
static std::atomic<unsigned> pool_threads_named(0);

/// Run by a pool thread after each event it dispatched: a signal a service raised on it is
/// pending there, since the pool blocks the host's signals, and goes to the relay from here.
/// Returns 0, so the loop goes on as it would without.
static int after_each_event(ACE_Reactor*)
{
  relay_pending_signals();
  return 0;
}

/**
 * The pool: its threads are spawned once and kept across reloads. A thread that has left the
 * loop counts itself out and waits for the next round (the loop reset after a reload) or for
 * the end; the main thread waits until every thread is out before it reloads or returns.
 */
struct Pool
{
  std::mutex lock;
  std::condition_variable changed;
  size_t running = 0;       ///< threads spawned, all of which run until the end
  size_t out = 0;           ///< threads that have left the loop in this round
  unsigned long round = 0;  ///< bumped when the loop may run again
  bool ending = false;      ///< set when the threads are to return
  int group = -1;           ///< the threads' group in ACE's thread manager
};
/// Never destroyed: a service that calls exit() on a pool thread runs the static destructors
/// while the main thread still waits on the pool's condition.
static Pool& pool = *new Pool;

/// Thread function of the pool: runs the loop on the reactor in @a arg, round after round,
/// until the pool ends.
static ACE_THR_FUNC_RETURN pool_thread(void* arg)
{
  // Named, so that a record of a signal taken on it says which thread took it.
  char name[16];
  ACE_OS::snprintf(name, sizeof name, "loop-%u", ++pool_threads_named);
  (void)::pthread_setname_np(::pthread_self(), name);
  ACE_Reactor* const reactor = static_cast<ACE_Reactor*>(arg);
  for (;;) {
    reactor->owner(ACE_OS::thr_self(), 0);
    reactor->run_reactor_event_loop(after_each_event);
    std::unique_lock<std::mutex> guard(pool.lock);
    ++pool.out;
    pool.changed.notify_all();
    unsigned long const round = pool.round;
    pool.changed.wait(guard, [round] { return pool.ending || pool.round != round; });
    if (pool.ending)
      return 0;
  }
}

size_t start_event_loop_threads(size_t threads)
{
  // Pool threads start with the host's asynchronous signals blocked, so that the main thread
  // takes them all: a signal that interrupted a pool thread's demultiplexer would end that
  // thread's loop for good. Fatal signals stay unblocked.
  sigset_t async_signals;
  sigset_t old_mask;
  host_async_signals(async_signals);
  ACE_OS::pthread_sigmask(SIG_BLOCK, &async_signals, &old_mask);
  size_t started = 0;
  int err = 0;
  for (; started < threads; ++started) {
    int const group = ACE_Thread_Manager::instance()->spawn(
        pool_thread, ACE_Reactor::instance(), THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, 0, 0,
        ACE_DEFAULT_THREAD_PRIORITY, pool.group);
    if (group == -1) {
      err = ACE_OS::last_error();
      break;
    }
    pool.group = group;
  }
  ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.running = started;
  }
  if (started < threads) {
    ACE_OS::last_error(err);
    SCRT_LOG(-1, (LM_ERROR, "Failed to start event-loop thread %u of %u, errno=%d, %m: the "
                            "loop runs on %u thread%C\n",
                  static_cast<unsigned>(started + 1), static_cast<unsigned>(threads), err,
                  static_cast<unsigned>(started == 0 ? 1 : started),
                  started == 0 ? " (the main one)" : started == 1 ? "" : "s"));
    ACE_OS::last_error(err);
  }
  return started;
}

/// Waits until every pool thread has left the loop.
static void wait_until_all_out()
{
  std::unique_lock<std::mutex> guard(pool.lock);
  pool.changed.wait(guard, [] { return pool.out == pool.running; });
}

void end_event_loop_threads()
{
  if (pool.running == 0)
    return;
  ACE_Reactor::instance()->end_reactor_event_loop();
  wait_until_all_out();
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.ending = true;
    pool.changed.notify_all();
  }
  // Only the pool's group: threads the services spawned end when the services do.
  ACE_Thread_Manager::instance()->wait_grp(pool.group);
  pool.running = 0;
}

/// Runs the loop until it has ended on every thread.
static void run_until_ended(ACE_Reactor* reactor)
{
  if (pool.running > 0) {
    wait_until_all_out();
    return;
  }
  reactor->owner(ACE_OS::thr_self(), 0);
  while (!reactor->reactor_event_loop_done())
    reactor->run_reactor_event_loop(0);
}

void run_event_loop()
{
  ACE_Reactor* const reactor = ACE_Reactor::instance();
  for (;;) {
    run_until_ended(reactor);
    if (stop_requested || !reload_requested.exchange(false))
      break;
    // The reload puts back the reload signals that a service it finalised may have reset;
    // until then they wait, blocked, rather than meet the default action.
    sigset_t old_mask;
    hold_relayed_signals(false, &old_mask);
    reload_services();
    ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
    reactor->reset_reactor_event_loop();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.out = 0;
    ++pool.round;
    pool.changed.notify_all();
  }
  end_event_loop_threads();
}
