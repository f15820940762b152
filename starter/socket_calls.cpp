// The host's bind, listen and close: every library in the process, ACE and the services
// included, calls these first (the executable's exported symbols come first in the lookup), so
// the listener registry sees each listening socket opened and closed, and hands a held one to
// a bind of its address, with no change to any service; and it knows the epoll sets, which a
// held socket would otherwise stay in after its service closed it.
#include <dlfcn.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <atomic>

#include "starter/listeners.h"
#include "starter/next_call.h"

namespace {

typedef int (*Bind)(int, const struct sockaddr*, socklen_t);
typedef int (*Listen)(int, int);
typedef int (*Close)(int);
typedef int (*Create)(int);
std::atomic<Bind> next_bind(0);
std::atomic<Listen> next_listen(0);
std::atomic<Close> next_close(0);
std::atomic<Create> next_create(0);
std::atomic<Create> next_create1(0);

} // namespace

extern "C" int bind(int fd, const struct sockaddr* a, socklen_t len)
{
  if (claim_listener(fd, a, len))
    return 0;
  return next_call(next_bind, "bind")(fd, a, len);
}

extern "C" int listen(int fd, int backlog)
{
  int const r = next_call(next_listen, "listen")(fd, backlog);
  if (r == 0)
    hold_listener(fd);
  return r;
}

extern "C" int close(int fd)
{
  release_listener(fd);
  return next_call(next_close, "close")(fd);
}

extern "C" int epoll_create(int size)
{
  int const fd = next_call(next_create, "epoll_create")(size);
  note_poll_set(fd);
  return fd;
}

extern "C" int epoll_create1(int flags)
{
  int const fd = next_call(next_create1, "epoll_create1")(flags);
  note_poll_set(fd);
  return fd;
}
