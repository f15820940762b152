/**
 * @file dev_poll_reactor.h
 *
 * ACE's dev_poll reactor, made to forget a handler whose descriptor was closed before the
 * handler was removed, and to restart its wait after a signal without logging.
 */
#ifndef SCRT_DEV_POLL_REACTOR_H
#define SCRT_DEV_POLL_REACTOR_H

#include <ace/Dev_Poll_Reactor.h>

/**
 * @class Dev_Poll_Reactor
 *
 * @brief The dev_poll reactor whose remove_handler() succeeds for a closed descriptor.
 *
 * ACE's dev_poll reactor removes a handler from its repository only after the kernel dropped
 * the descriptor from its interest set. A handler that closes its descriptor first (ACE's
 * strategy acceptors do, when they are finalised) then stays in the repository after it is
 * freed, and the reactor calls into freed memory when it closes or when the number is reused.
 * The kernel drops a closed descriptor by itself, so such a removal is completed here.
 */
class Dev_Poll_Reactor : public ACE_Dev_Poll_Reactor
{
public:
  /// ACE's defaults, with the token queueing its waiters in FIFO order; restarts the wait
  /// that a signal interrupts.
  Dev_Poll_Reactor();

  int remove_handler(ACE_Event_Handler* event_handler, ACE_Reactor_Mask mask) override;
  int remove_handler(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;
  using ACE_Dev_Poll_Reactor::remove_handler;

protected:
  /// = Internal method that does the actual work.
  /// Marks @a handle's registration as no longer in the kernel's interest set when the
  /// descriptor is closed, so that a removal can complete. True when it did.
  bool forget_closed(ACE_HANDLE handle);
};

#endif /* SCRT_DEV_POLL_REACTOR_H */
