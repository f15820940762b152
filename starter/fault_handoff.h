/**
 * @file fault_handoff.h
 *
 * A service may handle SIGSEGV or SIGBUS itself (ACE's memory pools do, to remap their file
 * when another process grew it). The host keeps those signals for its crash record, and hands
 * each fault to the service's handler once: only the same fault again is a death.
 */
#ifndef STARTER_FAULT_HANDOFF_H
#define STARTER_FAULT_HANDOFF_H

#include <signal.h>

/// Keeps @a theirs, a service's handler of @a signo (SIGSEGV or SIGBUS; others are ignored),
/// which the host's crash record has replaced. Not async-signal-safe: while the loop is quiesced.
void keep_service_fault_handler(int signo, const struct sigaction& theirs);

/// Async-signal-safe. Hands the fault @a info to the service's handler of @a signo once per
/// address: true when it did, and the faulting instruction is then run again; false when
/// there is none, or this is the same fault again (a death).
bool hand_fault_to_service(int signo, siginfo_t* info, void* context);

#endif /* STARTER_FAULT_HANDOFF_H */
