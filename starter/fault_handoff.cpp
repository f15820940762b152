// The faults the host hands to a service's own SIGSEGV or SIGBUS handler before its crash
// record: ACE's memory pools remap their file on a fault, and must still be able to.
#include "starter/fault_handoff.h"

#include <atomic>
#include <cstdint>

namespace {

/// A service's own SIGSEGV and SIGBUS handlers, and the last fault handed to each.
struct sigaction service_fault_handler[2];
bool service_fault_handled[2] = {false, false};
std::atomic<uintptr_t> handed_fault[2];

int fault_slot(int signo)
{
  return signo == SIGSEGV ? 0 : signo == SIGBUS ? 1 : -1;
}

}  // namespace

/// Hands the fault @a info to the service's handler of @a signo, once per address: true when
/// it was (the faulting instruction then runs again, and faults again unless the service's
/// handler mended what it touched).
bool hand_fault_to_service(int signo, siginfo_t* info, void* context)
{
  int const slot = fault_slot(signo);
  if (slot < 0 || !service_fault_handled[slot] || info == 0 || info->si_code <= 0)
    return false;
  uintptr_t const at = reinterpret_cast<uintptr_t>(info->si_addr);
  if (handed_fault[slot].exchange(at) == at)
    return false;
  struct sigaction mine;
  (void)::sigaction(signo, 0, &mine);
  const struct sigaction& theirs = service_fault_handler[slot];
  if (theirs.sa_flags & SA_SIGINFO)
    theirs.sa_sigaction(signo, info, context);
  else if (theirs.sa_handler != SIG_DFL && theirs.sa_handler != SIG_IGN)
    theirs.sa_handler(signo);
  // Theirs may have put back what it found before it: the record stays the host's.
  (void)::sigaction(signo, &mine, 0);
  return true;
}

void keep_service_fault_handler(int signo, const struct sigaction& theirs)
{
  int const slot = fault_slot(signo);
  if (slot < 0)
    return;
  service_fault_handler[slot] = theirs;
  service_fault_handled[slot] = true;
}

