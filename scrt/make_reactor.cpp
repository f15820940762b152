// make_reactor.cpp: the table of reactor kinds, their factories and the lookup by name.
#include "scrt/make_reactor.h"

#include <cerrno>
#include <memory>
#include <new>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_string.h>
#include <ace/Priority_Reactor.h>
#include <ace/Reactor_Token_T.h>
#include <ace/Select_Reactor_T.h>
#include <ace/TP_Reactor.h>
#include <ace/Token.h>

#include "scrt/dev_poll_reactor.h"
#include "scrt/key_value.h"
#include "scrt/log_macros.h"

typedef ACE_Select_Reactor_T<ACE_Reactor_Token_T<ACE_Token> > Select_Reactor;

/// Constructs each kind with its fixed arguments (the constructors without a size): null
/// handlers and queues let the implementation supply its own, and every token queues its
/// waiters in FIFO order.
static ACE_Priority_Reactor* new_impl(ACE_Priority_Reactor*)
{
  return new (std::nothrow) ACE_Priority_Reactor(static_cast<ACE_Sig_Handler*>(0), 0);
}

static ACE_TP_Reactor* new_impl(ACE_TP_Reactor*)
{
  return new (std::nothrow)
      ACE_TP_Reactor(static_cast<ACE_Sig_Handler*>(0), 0, true, ACE_Token::FIFO);
}

static Select_Reactor* new_impl(Select_Reactor*)
{
  return new (std::nothrow) Select_Reactor(static_cast<ACE_Sig_Handler*>(0), 0, 0, 0, true,
                                    ACE_Token::FIFO);
}

static Dev_Poll_Reactor* new_impl(Dev_Poll_Reactor*)
{
  return new (std::nothrow) Dev_Poll_Reactor;
}

template <class T>
ACE_Reactor* make_reactor()
{
  std::unique_ptr<T> impl;
  T* const t = new_impl(static_cast<T*>(0));
  if (t == 0) {
    ACE_OS::last_error(ENOMEM);
    return 0;
  }
  impl.reset(t);
  // Whether the implementation opened itself is left to the reactor: only the allocations
  // are ours to check.
  ACE_Reactor* const reactor = new (std::nothrow) ACE_Reactor(impl.get(), true);
  if (reactor == 0) {
    impl.reset();  // before errno is set: closing a reactor's handles overwrites it
    ACE_OS::last_error(ENOMEM);
    return 0;
  }
  impl.release();
  return reactor;
}

template ACE_Reactor* make_reactor<ACE_Priority_Reactor>();
template ACE_Reactor* make_reactor<ACE_TP_Reactor>();
template ACE_Reactor* make_reactor<Select_Reactor>();
template ACE_Reactor* make_reactor<Dev_Poll_Reactor>();

/// The kinds by name; written only at load time.
static Key_Value_T<make_reactor_t> make_reactor_table[] = {
  {"priority", make_reactor<ACE_Priority_Reactor>},
  {"tp", make_reactor<ACE_TP_Reactor>},
  {"select", make_reactor<Select_Reactor>},
  {"dev_poll", make_reactor<Dev_Poll_Reactor>},
  {0, 0},
};

make_reactor_t get_reactor_factory(const ACE_TCHAR* type, size_t threads)
{
  make_reactor_t const maker = get_key_value_entry(make_reactor_table, type)->value;
  if (maker == 0) {
    ACE_OS::last_error(ENOENT);
    return 0;
  }
  // The host runs a pool of loop threads only for a count above 1; the thread-pool kind
  // without a pool is taken for a configuration mistake. Callers may rely on this record (and
  // on EINVAL), so they need not word the reason again.
  if (ACE_OS::strcmp(type, "tp") == 0 && threads < 2) {
    SCRT_LOG(0, (LM_ERROR, "The number of threads (%u) of thread pool reactor is less than 2\n",
                 static_cast<unsigned>(threads)));
    ACE_OS::last_error(EINVAL);
    return 0;
  }
  return maker;
}
