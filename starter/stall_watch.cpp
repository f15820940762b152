// The stall watch. The heartbeat, a timer the loop runs, tells a held loop from an idle one
// without touching the loop threads; only once the loop is held is a thread interrupted, with the host's real-time
// signal, SA_RESTART and once per stall, so that a service's blocking call is disturbed at most
// once. The stall's text is published under a sequence count, so that the stop deadline's
// handler can copy it without a lock.
#include "starter/stall_watch.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>

#include "scrt/log_macros.h"
#include "starter/last_words.h"

namespace {

using Clock = std::chrono::steady_clock;

/// The heartbeat: a repeating timer on the loop, scheduled before the loop runs, so that no
/// other thread ever wakes the loop for it.
class Heartbeat : public ACE_Event_Handler
{
public:
  int handle_timeout(const ACE_Time_Value&, const void*) override;
};

Heartbeat heartbeat;
ACE_Reactor* watched = 0;
long beat_timer = -1;
bool watching = false;
/// What the watch thread shares, never destroyed: a stopped watch's thread is left parked
/// for the process's end to take, so no exit handler may wait for it or pull its state away.
struct Shared
{
  std::mutex lock;  ///< guards the two below
  /// Which watch runs: a thread whose start differs stops acting.
  unsigned generation = 0;
  std::vector<pthread_t> loop_threads;
};
Shared& shared = *new Shared;
std::mutex& lock = shared.lock;
/// When the loop last ran the heartbeat, in the steady clock's ticks.
std::atomic<Clock::rep> last_beat(0);

int Heartbeat::handle_timeout(const ACE_Time_Value&, const void*)
{
  last_beat = Clock::now().time_since_epoch().count();
  return 0;
}

thread_local bool noted = false;

// The sample: one at a time. The request's value is the token's address.
char sample_token;
std::atomic<int> sample_taken(0);
char sample_text[640];

// The stall's text: odd sequence while written.
std::atomic<unsigned> text_seq(0);
char stall_text[720];

void publish(const std::string& text)
{
  text_seq.fetch_add(1, std::memory_order_acq_rel);
  size_t const n = std::min(text.size(), sizeof stall_text - 1);
  std::memcpy(stall_text, text.data(), n);
  stall_text[n] = 0;
  text_seq.fetch_add(1, std::memory_order_acq_rel);
}

/// Samples each loop thread in turn: the first whose stack runs through a service's library,
/// else the first that answered.
std::string sample_loop()
{
  std::vector<pthread_t> threads;
  {
    std::lock_guard<std::mutex> guard(lock);
    threads = shared.loop_threads;
  }
  std::string first;
  for (pthread_t t : threads) {
    sample_taken = 0;
    sigval v;
    v.sival_ptr = &sample_token;
    if (::pthread_sigqueue(t, SIGRTMAX, v) != 0)
      continue;
    for (int i = 0; i < 40 && sample_taken.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (sample_taken.load() == 0)
      continue;
    std::string const s = sample_text;
    if (s.find(", which serves ") != std::string::npos)
      return s;
    if (first.empty())
      first = s;
  }
  return first.empty() ? "where, no loop thread answered" : first;
}

std::string seconds_text(Clock::duration d)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s",
                std::chrono::duration_cast<std::chrono::milliseconds>(d).count() / 1000.0);
  return text;
}

/// Parks the calling thread, a stopped watch's, until the process ends: it takes no signal.
[[noreturn]] void park()
{
  for (;;)
    ::pause();
}

/// Wakes when the loop's heartbeat is overdue (not on a fixed poll, so an idle host sleeps),
/// and every tenth of a second while it is held, to keep the stall's text current.
void watch(unsigned generation, long threshold_ms)
{
  std::chrono::milliseconds const threshold(threshold_ms);
  std::string where;  // of the stall reported, empty while none is
  Clock::time_point held_since;
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    Clock::time_point const due = where.empty()
                                      ? Clock::time_point(Clock::duration(last_beat.load())) + threshold
                                      : Clock::now() + std::chrono::milliseconds(100);
    guard.unlock();
    std::this_thread::sleep_until(due);
    guard.lock();
    if (shared.generation != generation)
      break;
    Clock::time_point const beat{Clock::duration(last_beat.load())};
    Clock::time_point const now = Clock::now();
    if (!where.empty() && beat > held_since) {
      publish("");
      SCRT_LOG(0, (LM_NOTICE, "The loop is free again: it was held %C%C\n",
                   seconds_text(beat - held_since).c_str(), where.c_str()));
      where.clear();
    }
    if (now - beat < threshold)
      continue;
    if (where.empty()) {
      held_since = beat;
      guard.unlock();
      std::string const sample = sample_loop();
      guard.lock();
      if (shared.generation != generation)
        break;
      where = " by " + sample.substr(4);  // without the leading " in "
      SCRT_LOG(0, (LM_WARNING, "The loop has not returned for %C: held%C\n",
                   seconds_text(now - beat).c_str(), where.c_str()));
    }
    publish("busy " + seconds_text(now - beat) + where);
  }
  guard.unlock();
  park();
}

}  // namespace

bool start_stall_watch(ACE_Reactor* reactor, long threshold_ms)
{
  if (watching)
    return true;
  watched = reactor;
  unsigned generation;
  {
    std::lock_guard<std::mutex> guard(lock);
    generation = ++shared.generation;
  }
  last_beat = Clock::now().time_since_epoch().count();
  ACE_Time_Value const period(0, static_cast<suseconds_t>(std::min(250L, threshold_ms / 4) * 1000));
  beat_timer = reactor->schedule_timer(&heartbeat, 0, period, period);
  if (beat_timer == -1) {
    SCRT_LOG(0, (LM_ERROR, "Failed to start the stall watch: its timer, errno=%d: the loop runs "
                           "unwatched\n", errno));
    return false;
  }
  // A service's exit() ends the process with the loop running: the watch ends first.
  static bool const at_exit = std::atexit(stop_stall_watch) == 0;
  (void)at_exit;
  // The watch takes no signal but its own faults: one sent to the process must find a thread
  // that handles it (a SIGHUP during a reload, whose default action a finalised service may
  // have put back, waits on the main thread, blocked there).
  sigset_t all, old_mask;
  sigfillset(&all);
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS})
    sigdelset(&all, fault);
  (void)::pthread_sigmask(SIG_BLOCK, &all, &old_mask);
  struct Restore
  {
    const sigset_t& mask;
    ~Restore() { (void)::pthread_sigmask(SIG_SETMASK, &mask, 0); }
  } const restore{old_mask};
  try {
    std::thread(watch, generation, threshold_ms).detach();
  } catch (const std::system_error& e) {
    (void)reactor->cancel_timer(beat_timer, 0, 0);
    beat_timer = -1;
    SCRT_LOG(0, (LM_ERROR, "Failed to start the stall watch: %C: the loop runs unwatched\n", e.what()));
    return false;
  }
  watching = true;
  return true;
}

void stop_stall_watch()
{
  if (!watching)
    return;
  watching = false;
  // Once the lock is released the thread acts no more (it logs and publishes only under it);
  // it is not woken nor joined, which would cost the stop a thread's hand-off and teardown.
  {
    std::lock_guard<std::mutex> guard(lock);
    ++shared.generation;
  }
  (void)watched->cancel_timer(beat_timer, 0, 0);
  beat_timer = -1;
  publish("");
}

void note_loop_thread()
{
  if (noted)
    return;
  noted = true;
  std::lock_guard<std::mutex> guard(lock);
  shared.loop_threads.push_back(::pthread_self());
}

std::string loop_stall()
{
  char text[sizeof stall_text];
  return loop_stall_text(text, sizeof text) ? text : "";
}

bool loop_stall_text(char* text, size_t size)
{
  for (int tries = 0; tries < 4; ++tries) {
    unsigned const before = text_seq.load(std::memory_order_acquire);
    if (before % 2 != 0)
      continue;
    if (stall_text[0] == 0)
      return false;
    size_t const n = std::min(::strnlen(stall_text, sizeof stall_text), size - 1);
    std::memcpy(text, stall_text, n);
    text[n] = 0;
    if (text_seq.load(std::memory_order_acquire) == before)
      return true;
  }
  return false;
}

bool take_stall_sample(const siginfo_t* info, const void* context)
{
  if (info == 0 || info->si_code != SI_QUEUE || info->si_value.sival_ptr != &sample_token ||
      info->si_pid != ::getpid())
    return false;
  Death_Text t;
  add_thread(t);
  t.add(", ");
  add_blame(t, blame_thread(context, 2));
  size_t const n = std::min(t.size(), sizeof sample_text - 1);
  std::memcpy(sample_text, t.c_str(), n);
  sample_text[n] = 0;
  sample_taken = 1;
  return true;
}
