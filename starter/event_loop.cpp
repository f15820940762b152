// The event loop and what runs with it quiesced.
//
// A reload or a stop ends the reactor's loop on every thread and waits until each has left
// it; only then does the calling thread reload or return to finalise. Ending the loop is the
// one barrier every reactor kind offers: a thread that is still dispatching finishes its
// callback first, and a thread that has left dispatches nothing until the loop is reset.
#include "starter/event_loop.h"

#include <signal.h>

#include <utility>

#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>

Event_Loop::Event_Loop(ACE_Reactor* reactor, std::function<void()> reload)
  : reactor_(reactor), reload_(std::move(reload)), stop_requested_(false), reload_requested_(false)
{
}

void Event_Loop::request_stop()
{
  stop_requested_ = true;
  reactor_->end_reactor_event_loop();
}

void Event_Loop::request_reload()
{
  reload_requested_ = true;
  reactor_->end_reactor_event_loop();
}

void Event_Loop::request_quiesced(std::function<void()> job)
{
  {
    std::lock_guard<std::mutex> guard(jobs_lock_);
    jobs_.push_back(std::move(job));
  }
  reactor_->end_reactor_event_loop();
}

std::vector<std::function<void()>> Event_Loop::take_jobs()
{
  std::lock_guard<std::mutex> guard(jobs_lock_);
  std::vector<std::function<void()>> taken;
  taken.swap(jobs_);
  return taken;
}

/// Thread function of the pool: runs the loop on the reactor in @a arg until it ends.
static ACE_THR_FUNC_RETURN pool_thread(void* arg)
{
  ACE_Reactor* const reactor = static_cast<ACE_Reactor*>(arg);
  reactor->owner(ACE_OS::thr_self(), 0);
  reactor->run_reactor_event_loop(0);
  return 0;
}

/// Runs the loop until it has ended on every thread.
static void run_until_ended(ACE_Reactor* reactor, size_t threads, const sigset_t& pool_blocked)
{
  if (threads > 1) {
    // Pool threads start with the host's asynchronous signals blocked, so that the main
    // thread, waiting below, takes them all: a signal that interrupted a pool thread's
    // demultiplexer would end that thread's loop for good. Fatal signals stay unblocked.
    sigset_t old_mask;
    ACE_OS::pthread_sigmask(SIG_BLOCK, &pool_blocked, &old_mask);
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

void Event_Loop::run(size_t threads, const sigset_t& pool_blocked)
{
  for (;;) {
    run_until_ended(reactor_, threads, pool_blocked);
    if (stop_requested_)
      break;
    std::vector<std::function<void()>> jobs = take_jobs();
    bool const reload = reload_requested_.exchange(false);
    if (!reload && jobs.empty())
      break;
    if (reload)
      reload_();
    for (std::function<void()>& job : jobs)
      job();
    reactor_->reset_reactor_event_loop();
  }
  (void)take_jobs();
}
