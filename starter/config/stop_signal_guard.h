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
class Stop_Signal_Guard
{
public:
  explicit Stop_Signal_Guard(const std::string& name);
  ~Stop_Signal_Guard();
  Stop_Signal_Guard(const Stop_Signal_Guard&) = delete;
  Stop_Signal_Guard& operator=(const Stop_Signal_Guard&) = delete;

private:
  const std::string& name_;
  struct sigaction saved_[5];
};

/// One pass over many directives (a start-up, a reload): the dispositions are noted once, as
/// the pass begins, and each guard the pass makes in this thread starts from them instead of
/// reading them again. They stay true between the directives: each guard puts back what its
/// service changed. Nothing of the host's own may change them while a pass lives.
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

#endif /* STARTER_CONFIG_STOP_SIGNAL_GUARD_H */
