// The stall watch. The heartbeat, a byte the watch's thread writes to a pipe of the loop's and
// the loop reads as soon as it is free, tells a held loop from an idle one without a timer on
// the loop (a pending timer gives every wait of a busy loop a timeout to compute and arm). A
// pipe of its own rather than the reactor's notifications: the dev_poll reactor stops reading
// its notifications once a service is suspended while one is queued. Only once the loop is held
// is a thread interrupted, with the host's real-time signal, SA_RESTART and once per stall, so
// that a service's blocking call is disturbed at most once. The stall's text is published under
// a sequence count, so that the stop deadline's handler can copy it without a lock.
#include "starter/stall_watch.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

/// The heartbeat: the loop's answer to the watch's probe, a byte on its pipe.
class Heartbeat : public ACE_Event_Handler
{
public:
  ACE_HANDLE get_handle() const override { return probes[0]; }
  int handle_input(ACE_HANDLE) override;

  /// The probes' pipe: read by the loop, written by the watch, both ends non-blocking.
  int probes[2] = {-1, -1};
};

Heartbeat heartbeat;
ACE_Reactor* watched = 0;
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
/// When the loop last answered a probe, in the steady clock's ticks.
std::atomic<Clock::rep> last_beat(0);
/// A probe is out: sent (or being sent) and not answered yet.
std::atomic<bool> probe_out(false);

int Heartbeat::handle_input(ACE_HANDLE)
{
  // One read takes every probe sent: the watch sends one at a time.
  char drain[64];
  (void)::read(probes[0], drain, sizeof drain);
  last_beat = Clock::now().time_since_epoch().count();
  probe_out.store(false, std::memory_order_release);
  return 0;
}

/// Sends the loop a probe without waiting for room: false when it could not be sent now.
bool send_probe()
{
  return ::write(heartbeat.probes[1], "", 1) == 1;
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

/// Sends a probe a period after the loop last answered. The loop is held when a probe is out and
/// the loop has not answered one for the threshold, the probe having had a period to be answered
/// (a watch woken late must not take the loop's first chance for a stall). While a stall
/// lasts, wakes every tenth of a second to keep its text current.
void watch(unsigned generation, long threshold_ms)
{
  std::chrono::milliseconds const threshold(threshold_ms);
  std::chrono::milliseconds const period(std::min(250L, threshold_ms / 4));
  std::string where;  // of the stall reported, empty while none is
  Clock::time_point held_since;
  Clock::time_point probe_at;  // when the probe out was first sent
  bool sent = false;           // whether it reached the loop's queue
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    Clock::time_point const beat{Clock::duration(last_beat.load())};
    Clock::time_point due = Clock::now() + period;  // a probe to send again
    if (!where.empty())
      due = Clock::now() + std::chrono::milliseconds(100);
    else if (!probe_out.load())
      due = beat + period;
    else if (sent)
      due = std::max(beat + threshold, probe_at + period);
    guard.unlock();
    std::this_thread::sleep_until(due);
    guard.lock();
    if (shared.generation != generation)
      break;
    Clock::time_point const now = Clock::now();
    if (!probe_out.load(std::memory_order_acquire)) {
      Clock::time_point const answered{Clock::duration(last_beat.load())};
      if (!where.empty()) {
        publish("");
        SCRT_LOG(0, (LM_NOTICE, "The loop is free again: it was held %C%C\n",
                     seconds_text(answered - held_since).c_str(), where.c_str()));
        where.clear();
      }
      if (now - answered < period)
        continue;
      probe_out = true;
      probe_at = now;
      sent = false;
    }
    // The loop's queue full is the loop held too: the probe counts from its first attempt.
    if (!sent && !(sent = send_probe()) && errno != EAGAIN && errno != EINTR) {
      SCRT_LOG(0, (LM_ERROR, "The stall watch cannot reach the loop, errno=%d: the loop runs "
                             "unwatched\n", errno));
      break;
    }
    Clock::time_point const last{Clock::duration(last_beat.load())};
    if (now - last < threshold || now - probe_at < period || !probe_out.load())
      continue;
    if (where.empty()) {
      held_since = last;
      guard.unlock();
      std::string const sample = sample_loop();
      guard.lock();
      if (shared.generation != generation)
        break;
      if (!probe_out.load())
        continue;  // answered while it was sampled: no stall after all
      where = " by " + sample.substr(4);  // without the leading " in "
      SCRT_LOG(0, (LM_WARNING, "The loop has not returned for %C: held%C\n",
                   seconds_text(now - last).c_str(), where.c_str()));
    }
    publish("busy " + seconds_text(now - held_since) + where);
  }
  guard.unlock();
  park();
}

void close_probes()
{
  for (int& fd : heartbeat.probes) {
    if (fd != -1)
      (void)::close(fd);
    fd = -1;
  }
}

}  // namespace

void prepare_stall_watch()
{
  if (heartbeat.probes[0] == -1 && ::pipe2(heartbeat.probes, O_NONBLOCK | O_CLOEXEC) != 0)
    heartbeat.probes[0] = heartbeat.probes[1] = -1;
}

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
  probe_out = false;
  prepare_stall_watch();
  if (heartbeat.probes[0] == -1) {
    SCRT_LOG(0, (LM_ERROR, "Failed to start the stall watch: its pipe, errno=%d, %m: the loop "
                           "runs unwatched\n", errno));
    return false;
  }
  if (reactor->register_handler(&heartbeat, ACE_Event_Handler::READ_MASK) != 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to start the stall watch: its pipe on the loop, errno=%d, %m: "
                           "the loop runs unwatched\n", errno));
    close_probes();
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
    (void)reactor->remove_handler(&heartbeat, ACE_Event_Handler::READ_MASK |
                                                  ACE_Event_Handler::DONT_CALL);
    close_probes();
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
  (void)watched->remove_handler(&heartbeat, ACE_Event_Handler::READ_MASK |
                                                ACE_Event_Handler::DONT_CALL);
  close_probes();
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
