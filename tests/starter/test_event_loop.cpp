// The event loop with a fake reload, on real reactors of each kind and thread count: when a
// reload runs, how many run, and what a stop does to one that is pending. End-to-end tests see
// only the outcome; here a callback still dispatching on another thread is seen.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

#include "scrt/make_reactor.h"
#include "starter/event_loop.h"

namespace {

/// Calls @a action from the reactor's loop when its timer fires.
template <class F>
class Timer : public ACE_Event_Handler
{
public:
  explicit Timer(F action) : action_(action) {}
  int handle_timeout(const ACE_Time_Value&, const void*) override
  {
    action_();
    return 0;
  }

private:
  F action_;
};

template <class F>
std::unique_ptr<Timer<F>> schedule(ACE_Reactor& reactor, F action, int msec)
{
  std::unique_ptr<Timer<F>> t(new Timer<F>(action));
  reactor.schedule_timer(t.get(), 0, ACE_Time_Value(0, msec * 1000));
  return t;
}

struct Loop_Row
{
  const char* kind;
  size_t threads;
};

class EventLoopKinds : public ::testing::TestWithParam<Loop_Row>
{
protected:
  void SetUp() override
  {
    make_reactor_t const maker = get_reactor_factory(GetParam().kind, GetParam().threads);
    ASSERT_NE(nullptr, maker);
    reactor_.reset(maker());
    ASSERT_NE(nullptr, reactor_);
    sigemptyset(&none_);
  }
  std::unique_ptr<ACE_Reactor> reactor_;
  sigset_t none_;
};

// Two requests while a callback is still dispatching: one reload, and only once that callback
// has returned on its thread; the loop then runs again until the stop.
TEST_P(EventLoopKinds, ReloadRunsOnceWithNoCallbackDispatching)
{
  std::atomic<bool> dispatching(false);
  std::atomic<int> reloads(0);
  std::atomic<bool> overlapped(false);
  ACE_Reactor& reactor = *reactor_;
  Event_Loop* loop_ptr = nullptr;
  auto stop = [&] { loop_ptr->request_stop(); };
  std::unique_ptr<Timer<decltype(stop)>> stopper;
  Event_Loop loop(&reactor, [&] {
    ++reloads;
    overlapped = overlapped || dispatching;
    stopper = schedule(reactor, stop, 20);
  });
  loop_ptr = &loop;
  auto busy = [&] {
    dispatching = true;
    loop.request_reload();
    loop.request_reload();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dispatching = false;
  };
  auto timer = schedule(reactor, busy, 10);
  loop.run(GetParam().threads, none_);
  EXPECT_EQ(1, reloads.load());
  EXPECT_FALSE(overlapped.load()) << "the reload ran while a callback was still dispatching";
  ASSERT_NE(nullptr, stopper) << "the loop did not run again after the reload";
}

// A stop asked for after a reload, before the loop ended, wins: no reload runs.
TEST_P(EventLoopKinds, StopWinsOverAPendingReload)
{
  int reloads = 0;
  Event_Loop loop(reactor_.get(), [&] { ++reloads; });
  auto both = [&] {
    loop.request_reload();
    loop.request_stop();
  };
  auto timer = schedule(*reactor_, both, 10);
  loop.run(GetParam().threads, none_);
  EXPECT_EQ(0, reloads);
}

INSTANTIATE_TEST_SUITE_P(EventLoop, EventLoopKinds,
                         ::testing::Values(Loop_Row{"select", 1}, Loop_Row{"tp", 3},
                                           Loop_Row{"dev_poll", 2}),
                         [](const ::testing::TestParamInfo<Loop_Row>& info) {
                           return std::string(info.param.kind) + "_" +
                                  std::to_string(info.param.threads);
                         });

}  // namespace
