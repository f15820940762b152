// The stop signals kept by the host while a service opens.
#include "starter/config/stop_signal_guard.h"

#include <atomic>
#include <cstring>

#include "scrt/log_macros.h"
#include "starter/fault_handoff.h"

namespace {

int const stop_signals[5] = {SIGINT, SIGQUIT, SIGTERM, SIGSEGV, SIGBUS};
int const STOP_SIGNALS = 3;

bool same_handler(const struct sigaction& a, const struct sigaction& b)
{
  return a.sa_handler == b.sa_handler && (a.sa_flags & SA_SIGINFO) == (b.sa_flags & SA_SIGINFO);
}

thread_local Stop_Signal_Pass* current_pass = nullptr;

/// Whether the executable counts the calls (stop_disposition_call()), and how many it saw.
std::atomic<bool> counted(false);
std::atomic<unsigned long> calls(0);

/// Puts back each disposition that differs from @a saved, naming @a name (null: a change no
/// guard saw, made past the C library).
void put_back(const struct sigaction (&saved)[5], const char* name)
{
  for (int i = 0; i < 5; ++i) {
    struct sigaction now;
    if (::sigaction(stop_signals[i], 0, &now) != 0 || same_handler(now, saved[i]))
      continue;
    ::sigaction(stop_signals[i], &saved[i], 0);
    if (i >= STOP_SIGNALS) {
      keep_service_fault_handler(stop_signals[i], now);
      if (name != nullptr)
        SCRT_LOG(0, (LM_NOTICE, "Service '%s' handles signal %d (%s) itself: the host hands it "
                     "each fault once before its crash record\n", name, stop_signals[i],
                     ::strsignal(stop_signals[i])));
      else
        SCRT_LOG(0, (LM_NOTICE, "A service handles signal %d (%s) itself, set by a system call "
                     "of its own: the host hands it each fault once before its crash record\n",
                     stop_signals[i], ::strsignal(stop_signals[i])));
      continue;
    }
    if (name != nullptr)
      SCRT_LOG(-1, (LM_WARNING, "Service '%s' changed the disposition of signal %d (%s), one of "
                    "the host's stop signals: the host keeps it\n", name, stop_signals[i],
                    ::strsignal(stop_signals[i])));
    else
      SCRT_LOG(-1, (LM_WARNING, "A service changed the disposition of signal %d (%s), one of the "
                    "host's stop signals, by a system call of its own: the host keeps it\n",
                    stop_signals[i], ::strsignal(stop_signals[i])));
  }
}

}  // namespace

void stop_disposition_call(int signo)
{
  for (int s : stop_signals)
    if (s == signo) {
      calls.fetch_add(1, std::memory_order_relaxed);
      return;
    }
}

void count_stop_dispositions()
{
  counted.store(true);
}

Stop_Signal_Pass::Stop_Signal_Pass() : outer_(current_pass)
{
  for (int i = 0; i < 5; ++i)
    ::sigaction(stop_signals[i], 0, &noted_[i]);
  current_pass = this;
}

Stop_Signal_Pass::~Stop_Signal_Pass()
{
  current_pass = outer_;
  if (counted.load())
    put_back(noted_, nullptr);
}

Stop_Signal_Guard::Stop_Signal_Guard(const std::string& name)
  : name_(name), calls_(calls.load(std::memory_order_relaxed))
{
  if (current_pass != nullptr) {
    std::memcpy(saved_, current_pass->noted_, sizeof saved_);
    return;
  }
  for (int i = 0; i < 5; ++i)
    ::sigaction(stop_signals[i], 0, &saved_[i]);
}

Stop_Signal_Guard::~Stop_Signal_Guard()
{
  // Outside a pass nothing reads them after this guard: it always looks.
  if (current_pass != nullptr && counted.load() && calls.load(std::memory_order_relaxed) == calls_)
    return;
  put_back(saved_, name_.c_str());
}
