// The control socket's own loop.
#include "starter/control/control_loop.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <ace/OS_NS_Thread.h>
#include <ace/Reactor.h>

#include "scrt/dev_poll_reactor.h"
#include "scrt/make_reactor.h"

Control_Loop::~Control_Loop()
{
  stop();
}

ACE_Reactor* Control_Loop::open(std::string& why)
{
  reactor_.reset(make_reactor<Dev_Poll_Reactor>());
  if (reactor_ == 0 || !reactor_->initialized()) {
    why = std::string("its reactor: ") + std::strerror(reactor_ == 0 ? errno : EMFILE);
    reactor_.reset();
  }
  return reactor_.get();
}

bool Control_Loop::start(const sigset_t& blocked, std::string& why)
{
  // The thread starts with the signals blocked: one that interrupted its demultiplexer would
  // end its loop.
  sigset_t old_mask;
  (void)::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  ACE_Reactor* const r = reactor_.get();
  try {
    thread_ = std::thread([r] {
      (void)::pthread_setname_np(::pthread_self(), "control");
      r->owner(ACE_OS::thr_self());
      r->run_reactor_event_loop();
    });
  } catch (const std::system_error& e) {
    why = std::string("its thread: ") + e.what();
  }
  (void)::pthread_sigmask(SIG_SETMASK, &old_mask, 0);
  return thread_.joinable();
}

void Control_Loop::stop()
{
  if (!thread_.joinable())
    return;
  reactor_->end_reactor_event_loop();
  thread_.join();
}
