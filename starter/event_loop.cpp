// The event loop and what runs with it quiesced.
//
// A reload or a stop ends the reactor's loop on every thread and waits until each has left
// it; only then does the calling thread reload or return to finalise. Ending the loop is the
// one barrier every reactor kind offers: a thread that is still dispatching finishes its
// callback first, and a thread that has left dispatches nothing until the loop is reset.
#include "starter/event_loop.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>

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

/// Thread function of the pool: runs the loop on the reactor in @a arg until it ends.
static ACE_THR_FUNC_RETURN pool_thread(void* arg)
{
  // Named, so that a record of a signal taken on it says which thread took it.
  char name[16];
  ACE_OS::snprintf(name, sizeof name, "loop-%u", ++pool_threads_named);
  (void)::pthread_setname_np(::pthread_self(), name);
  ACE_Reactor* const reactor = static_cast<ACE_Reactor*>(arg);
  reactor->owner(ACE_OS::thr_self(), 0);
  reactor->run_reactor_event_loop(after_each_event);
  return 0;
}

/// Runs the loop until it has ended on every thread.
static void run_until_ended(ACE_Reactor* reactor, size_t threads)
{
  if (threads > 1) {
    // Pool threads start with the host's asynchronous signals blocked, so that the main
    // thread, waiting below, takes them all: a signal that interrupted a pool thread's
    // demultiplexer would end that thread's loop for good. Fatal signals stay unblocked.
    sigset_t async_signals;
    sigset_t old_mask;
    host_async_signals(async_signals);
    ACE_OS::pthread_sigmask(SIG_BLOCK, &async_signals, &old_mask);
    int const group = ACE_Thread_Manager::instance()->spawn_n(threads, pool_thread, reactor);
    ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
    // Only the pool's group: threads the services spawned end when the services do.
    if (group != -1)
      ACE_Thread_Manager::instance()->wait_grp(group);
  } else {
    reactor->owner(ACE_OS::thr_self(), 0);
    while (!reactor->reactor_event_loop_done())
      reactor->run_reactor_event_loop(0);
  }
}

void run_event_loop(size_t threads)
{
  ACE_Reactor* const reactor = ACE_Reactor::instance();
  for (;;) {
    run_until_ended(reactor, threads);
    if (stop_requested || !reload_requested.exchange(false))
      break;
    // The reload puts back the reload signals that a service it finalised may have reset;
    // until then they wait, blocked, rather than meet the default action.
    sigset_t old_mask;
    hold_relayed_signals(false, &old_mask);
    reload_services();
    ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
    reactor->reset_reactor_event_loop();
  }
}
