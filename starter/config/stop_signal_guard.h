/**
 * @file stop_signal_guard.h
 *
 * The host keeps its stop signals (SIGINT, SIGQUIT, SIGTERM) while a service opens or is
 * finalised: a service that registers one (with ACE's reactor, say) would take it over without
 * a word, and one whose fini sets it back to its default would let it kill the host. So too
 * the crash record's SIGSEGV and SIGBUS: a service that takes them (ACE's memory pools do, to
 * remap their file) would make every crash silent; its handler is handed the faults first.
 */
#ifndef STARTER_CONFIG_STOP_SIGNAL_GUARD_H
#define STARTER_CONFIG_STOP_SIGNAL_GUARD_H

#include <signal.h>

#include <string>

/// Notes the stop signals' dispositions; at its end, puts back each that changed meanwhile,
/// with a warning naming the service @a name. Only where no other thread installs them.
/// Within a pass, where the executable counts the calls that set them (below), a guard whose
/// window saw no such call reads nothing back: the pass reads them once at its end instead.
class Stop_Signal_Guard
{
public:
  explicit Stop_Signal_Guard(const std::string& name);
  ~Stop_Signal_Guard();
  Stop_Signal_Guard(const Stop_Signal_Guard&) = delete;
  Stop_Signal_Guard& operator=(const Stop_Signal_Guard&) = delete;

private:
  const std::string& name_;
  unsigned long calls_;  ///< the calls counted (stop_disposition_call()) when the guard began
  struct sigaction saved_[5];
};

/// One pass over many directives (a start-up, a reload): the dispositions are noted once, as
/// the pass begins, and each guard the pass makes in this thread starts from them instead of
/// reading them again. They stay true between the directives: each guard puts back what its
/// service changed. Nothing of the host's own may change them while a pass lives. Where the
/// calls are counted, the pass reads them again as it ends and puts back, unnamed, a change
/// made past the C library (a raw system call), which no guard saw.
class Stop_Signal_Pass
{
public:
  Stop_Signal_Pass();
  ~Stop_Signal_Pass();
  Stop_Signal_Pass(const Stop_Signal_Pass&) = delete;
  Stop_Signal_Pass& operator=(const Stop_Signal_Pass&) = delete;

private:
  friend class Stop_Signal_Guard;
  struct sigaction noted_[5];
  Stop_Signal_Pass* outer_;
};

/// The executable's sigaction(), signal() and their kin, which every library's calls reach
/// first, report here each call that may set a stop signal's disposition (count_stop_dispositions()
/// once at load turns the counting on). A guard then reads the dispositions back only after a
/// window in which the count moved: at a thousand services, 5,000 system calls fewer. Where the
/// executable does not provide them (a test binary), every guard reads them back.
/// Async-signal-safe.
void stop_disposition_call(int signo);
void count_stop_dispositions();

#endif /* STARTER_CONFIG_STOP_SIGNAL_GUARD_H */
