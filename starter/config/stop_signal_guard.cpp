// The stop signals kept by the host while a service opens.
#include "starter/config/stop_signal_guard.h"

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

}  // namespace

Stop_Signal_Pass::Stop_Signal_Pass() : outer_(current_pass)
{
  for (int i = 0; i < 5; ++i)
    ::sigaction(stop_signals[i], 0, &noted_[i]);
  current_pass = this;
}

Stop_Signal_Pass::~Stop_Signal_Pass()
{
  current_pass = outer_;
}

Stop_Signal_Guard::Stop_Signal_Guard(const std::string& name) : name_(name)
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
  for (int i = 0; i < 5; ++i) {
    struct sigaction now;
    if (::sigaction(stop_signals[i], 0, &now) != 0 || same_handler(now, saved_[i]))
      continue;
    ::sigaction(stop_signals[i], &saved_[i], 0);
    if (i >= STOP_SIGNALS) {
      keep_service_fault_handler(stop_signals[i], now);
      SCRT_LOG(0, (LM_NOTICE, "Service '%s' handles signal %d (%s) itself: the host hands it "
                   "each fault once before its crash record\n", name_.c_str(), stop_signals[i],
                   ::strsignal(stop_signals[i])));
      continue;
    }
    SCRT_LOG(-1, (LM_WARNING, "Service '%s' changed the disposition of signal %d (%s), one of "
                  "the host's stop signals: the host keeps it\n", name_.c_str(), stop_signals[i],
                  ::strsignal(stop_signals[i])));
  }
}
