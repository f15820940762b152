// The event loop, its pool of threads, and what runs with it quiesced.
//
// A reload or a stop ends the reactor's loop on every thread and waits until each has left
// it; only then does the calling thread reload or return to finalise. Ending the loop is the
// one barrier every reactor kind offers: a thread that is still dispatching finishes its
// callback first, and a thread that has left dispatches nothing until the loop is reset.
#include "starter/event_loop.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>

#include "scrt/log_macros.h"

Event_Loop::Event_Loop(ACE_Reactor* reactor, std::function<void()> reload,
                       std::function<void(const sigset_t&)> after_event,
                       std::function<void()> loop_thread)
  : reactor_(reactor), reload_(std::move(reload)), after_event_(std::move(after_event)),
    loop_thread_(std::move(loop_thread)),
    stop_requested_(false), reload_requested_(false)
{
  sigemptyset(&pool_blocked_);
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

/// What the calling pool thread runs after each event, and with what: ACE's hook has no
/// argument of its own.
static thread_local const std::function<void(const sigset_t&)>* pool_after_event = 0;
static thread_local const sigset_t* pool_blocked_set = 0;

/// ACE's hook after each event on a pool thread. Returns 0: the loop goes on as without it.
static int after_each_event(ACE_Reactor*)
{
  if (pool_after_event != 0 && *pool_after_event)
    (*pool_after_event)(*pool_blocked_set);
  return 0;
}

/// Numbers the pool's threads for their names.
static std::atomic<unsigned> pool_threads_named(0);

void* Event_Loop::pool_thread(void* arg)
{
  Event_Loop* const loop = static_cast<Event_Loop*>(arg);
  // Named, so that a record of a signal taken on it says which thread took it.
  char name[16];
  ACE_OS::snprintf(name, sizeof name, "loop-%u", ++pool_threads_named);
  (void)::pthread_setname_np(::pthread_self(), name);
  pool_after_event = &loop->after_event_;
  pool_blocked_set = &loop->pool_blocked_;
  if (loop->loop_thread_)
    loop->loop_thread_();
  for (;;) {
    loop->reactor_->owner(ACE_OS::thr_self(), 0);
    loop->reactor_->run_reactor_event_loop(after_each_event);
    std::unique_lock<std::mutex> guard(loop->lock_);
    ++loop->out_;
    loop->changed_.notify_all();
    unsigned long const round = loop->round_;
    loop->changed_.wait(guard, [loop, round] { return loop->ending_ || loop->round_ != round; });
    if (loop->ending_)
      return 0;
  }
}

size_t Event_Loop::start_threads(size_t threads, const sigset_t& pool_blocked)
{
  tried_ = true;
  pool_blocked_ = pool_blocked;
  // Pool threads start with the host's asynchronous signals blocked, so that the main thread
  // takes them all: a signal that interrupted a pool thread's demultiplexer would end that
  // thread's loop for good. Fatal signals stay unblocked.
  sigset_t old_mask;
  ACE_OS::pthread_sigmask(SIG_BLOCK, &pool_blocked, &old_mask);
  size_t started = 0;
  int err = 0;
  for (; started < threads; ++started) {
    int const group = ACE_Thread_Manager::instance()->spawn(
        pool_thread, this, THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED, 0, 0,
        ACE_DEFAULT_THREAD_PRIORITY, group_);
    if (group == -1) {
      err = ACE_OS::last_error();
      break;
    }
    group_ = group;
  }
  ACE_OS::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
  {
    std::lock_guard<std::mutex> guard(lock_);
    running_ = started;
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

void Event_Loop::wait_until_all_out()
{
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return out_ == running_; });
}

void Event_Loop::end_threads()
{
  if (running_ == 0)
    return;
  reactor_->end_reactor_event_loop();
  wait_until_all_out();
  {
    std::lock_guard<std::mutex> guard(lock_);
    ending_ = true;
    changed_.notify_all();
  }
  // Only the pool's group: threads the services spawned end when the services do.
  ACE_Thread_Manager::instance()->wait_grp(group_);
  running_ = 0;
}

void Event_Loop::run(size_t threads, const sigset_t& pool_blocked)
{
  if (threads > 1 && !tried_)
    (void)start_threads(threads, pool_blocked);
  for (;;) {
    if (running_ > 0) {
      wait_until_all_out();
    } else {
      if (loop_thread_)
        loop_thread_();
      reactor_->owner(ACE_OS::thr_self(), 0);
      while (!reactor_->reactor_event_loop_done())
        reactor_->run_reactor_event_loop(0);
    }
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
    std::lock_guard<std::mutex> guard(lock_);
    out_ = 0;
    ++round_;
    changed_.notify_all();
  }
  end_threads();
  // A job still waiting at a stop is destroyed without running.
  (void)take_jobs();
}
