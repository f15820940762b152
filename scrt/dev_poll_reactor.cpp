// The dev_poll reactor that completes the removal of a handler whose descriptor is closed.
#include "scrt/dev_poll_reactor.h"

#include <fcntl.h>

#include <cerrno>

#include <ace/Guard_T.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_fcntl.h>

Dev_Poll_Reactor::Dev_Poll_Reactor()
    : ACE_Dev_Poll_Reactor(static_cast<ACE_Sig_Handler*>(0), 0, 0, 0, 1, ACE_Token::FIFO)
{
  // Without it every signal that lands on a loop thread logs "work_pending_i: Interrupted
  // system call" and ends that handle_events() call.
  restart(true);
}

int Dev_Poll_Reactor::remove_handler(ACE_Event_Handler* event_handler, ACE_Reactor_Mask mask)
{
  int const result = ACE_Dev_Poll_Reactor::remove_handler(event_handler, mask);
  if (result == 0 || event_handler == 0 || !forget_closed(event_handler->get_handle()))
    return result;
  return ACE_Dev_Poll_Reactor::remove_handler(event_handler, mask);
}

int Dev_Poll_Reactor::remove_handler(ACE_HANDLE handle, ACE_Reactor_Mask mask)
{
  int const result = ACE_Dev_Poll_Reactor::remove_handler(handle, mask);
  if (result == 0 || !forget_closed(handle))
    return result;
  return ACE_Dev_Poll_Reactor::remove_handler(handle, mask);
}

bool Dev_Poll_Reactor::forget_closed(ACE_HANDLE handle)
{
  int const saved = ACE_OS::last_error();
  // The failed removal was the kernel's: the descriptor is closed, or its number already
  // belongs to a file the interest set never held.
  if (saved != EBADF && saved != ENOENT)
    return false;
  ACE_GUARD_RETURN(ACE_SYNCH_MUTEX, guard, repo_lock_, false);
  auto* const tuple = handler_rep_.find(handle);
  ACE_OS::last_error(saved);
  if (tuple == 0 || (tuple->suspended && !tuple->controlled))
    return false;
  // A suspended registration outside the interest set is one the reactor removes without
  // asking the kernel.
  tuple->suspended = true;
  tuple->controlled = false;
  return true;
}
