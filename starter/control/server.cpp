// The control socket: accepting, the credentials, the cap, the deadlines, the descriptor limit.
//
// Threads: with a pool, any loop thread may accept, read, write or expire a connection, and the
// quiesced jobs run on the main thread while no loop thread runs. Each connection's state is
// guarded by its own lock; the server's set of connections by the server's. A lock is never
// taken while the other kind is held in the opposite order: the server collects connections
// under its lock, lets go, then acts on each.
#include "starter/control/server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <ace/OS_NS_time.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

#include "scrt/log_macros.h"
#include "starter/control/commands.h"
#include "starter/control/connection.h"
#include "starter/last_words.h"

Control_Server::Control_Server(Host& host)
    : host_(host), handle_(ACE_INVALID_HANDLE), dev_(0), ino_(0), group_(static_cast<gid_t>(-1)), refused_(0),
      refused_logged_(0), accept_paused_(false), accept_failures_(0), accept_logged_(0), spare_(-1)
{
  reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
}

Control_Server::~Control_Server()
{
  if (spare_ >= 0)
    ::close(spare_);
  // The last reference may go when the reactor itself is closing: only the socket is let go.
  if (handle_ != ACE_INVALID_HANDLE) {
    ::close(handle_);
    unlink_own_socket();
  }
}

void Control_Server::unlink_own_socket() const
{
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
    (void)::unlink(path_.c_str());
}

std::vector<ACE_Event_Handler_var> Control_Server::hold_connections()
{
  std::vector<ACE_Event_Handler_var> open;
  std::lock_guard<std::mutex> guard(lock_);
  for (Control_Connection* c : connections_) {
    c->add_reference();
    open.emplace_back(c);
  }
  return open;
}

/// Whether a server answers at @a addr: a socket left by a host that ended does not. Without
/// waiting: a host that is stopped with its backlog full is still there (EAGAIN), where a
/// blocking connect would wait for it for ever.
static bool served(const sockaddr_un& addr)
{
  int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  bool const yes = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 ||
                   errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return yes;
}

int Control_Server::open(ACE_Reactor* r, const std::string& path, gid_t group, std::string& why)
{
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    why = "the path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) + " bytes";
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      errno = EEXIST;
      why = "something other than a socket is there";
      return -1;
    }
    if (served(addr)) {
      errno = EADDRINUSE;
      why = "another process serves the socket there";
      return -1;
    }
    (void)::unlink(path.c_str());
  }
  int const fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  // The mode and group are set before anyone can connect: listen() comes last.
  const char* step = "bind";
  bool bound = false;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && (bound = true) &&
      (step = "chmod 0660", ::chmod(path.c_str(), 0660) == 0) &&
      (step = "chown to the control group",
       group == static_cast<gid_t>(-1) || ::chown(path.c_str(), static_cast<uid_t>(-1), group) == 0) &&
      (step = "stat", ::lstat(path.c_str(), &st) == 0) &&
      (step = "listen", ::listen(fd, 64) == 0)) {
    handle_ = fd;
    path_ = path;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    group_ = group;
    reactor(r);
    ACE_Time_Value const second(1);
    if (r->register_handler(this, ACE_Event_Handler::ACCEPT_MASK) == 0 &&
        r->schedule_timer(this, 0, second, second) != -1) {
      note_control_socket(path_.c_str(), dev_, ino_);
      spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      return 0;
    }
    step = "register with the reactor";
  }
  int const saved = errno;
  why = std::string(step) + ": " + std::strerror(saved);
  if (handle_ != ACE_INVALID_HANDLE)
    close();
  else {
    ::close(fd);
    if (bound)
      (void)::unlink(path.c_str());
  }
  errno = saved;
  return -1;
}

int Control_Server::close()
{
  if (handle_ == ACE_INVALID_HANDLE)
    return 0;
  if (reactor() != 0) {
    reactor()->cancel_timer(this);
    reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
  }
  forget_control_socket();
  ::close(handle_);
  handle_ = ACE_INVALID_HANDLE;
  if (spare_ >= 0)
    ::close(spare_);
  spare_ = -1;
  unlink_own_socket();
  for (ACE_Event_Handler_var& c : hold_connections())
    static_cast<Control_Connection*>(c.handler())->finish();
  return 0;
}

ACE_HANDLE Control_Server::get_handle() const
{
  return handle_;
}

bool Control_Server::allowed(int fd, uid_t uid, gid_t gid) const
{
  if (uid == 0 || uid == ::geteuid())
    return true;
  if (group_ == static_cast<gid_t>(-1))
    return false;
  if (gid == group_)
    return true;
  gid_t groups[256];
  socklen_t size = sizeof groups;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &size) != 0)
    return false;  // more groups than fit are refused, not guessed
  for (size_t i = 0; i < size / sizeof(gid_t); ++i)
    if (groups[i] == group_)
      return true;
  return false;
}

void Control_Server::forget(Control_Connection* c)
{
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    known = connections_.erase(c) != 0;
  }
  if (known)
    c->remove_reference();
}

/// Sends @a text to the client @a fd, as much as the socket takes at once, and closes it.
static void say_and_close(int fd, const std::string& text)
{
  (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  drain_and_close(fd);
}

void Control_Server::refuse_over_cap(int fd)
{
  say_and_close(fd, control_refusal("too many control connections (at most " +
                                    std::to_string(MAX_CONNECTIONS) + "): try again")
                            .dump() + "\n");
  time_t const now = ACE_OS::time(0);
  unsigned long refused = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++refused_;
    if (now == refused_logged_)
      return;
    refused_logged_ = now;
    refused = refused_;
    refused_ = 0;
  }
  SCRT_LOG(0, (LM_WARNING, "Refused %u control connection%s: %u are served at once at most\n",
               static_cast<unsigned>(refused), refused == 1 ? "" : "s",
               static_cast<unsigned>(MAX_CONNECTIONS)));
}

void Control_Server::pause_accepting(int error)
{
  time_t const now = ACE_OS::time(0);
  unsigned long failures = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    accept_paused_ = true;
    reactor()->remove_handler(this, ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
    ++accept_failures_;
    // The first of a run is told at once; the rest of the minute only counted.
    if (accept_logged_ != 0 && now - accept_logged_ < 60)
      return;
    accept_logged_ = now;
    failures = accept_failures_ - 1;
    accept_failures_ = 0;
  }
  errno = error;
  SCRT_LOG(-1, (LM_WARNING, "Control socket %C: cannot accept, errno=%d, %m: trying again every "
                            "second (%u more failures since the last such record)\n",
               path_.c_str(), error, static_cast<unsigned>(failures)));
}

int Control_Server::handle_input(ACE_HANDLE)
{
  // A bounded batch, so that a flood of clients leaves room for the services' events.
  for (int batch = 0; batch < 64; ++batch) {
    int fd = ::accept4(handle_, 0, 0, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && errno == EMFILE) {
      int spare = -1;
      {
        std::lock_guard<std::mutex> guard(lock_);
        std::swap(spare, spare_);
      }
      if (spare >= 0) {
        ::close(spare);
        fd = ::accept4(handle_, 0, 0, SOCK_NONBLOCK | SOCK_CLOEXEC);
      }
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED)
        continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        pause_accepting(errno);
      return 0;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || !allowed(fd, peer.uid, peer.gid)) {
      SCRT_LOG(0, (LM_WARNING, "Refused a control connection from uid %d (pid %d): not root, "
                               "the host's user or a member of the control group\n",
                   static_cast<int>(peer.uid), static_cast<int>(peer.pid)));
      say_and_close(fd, control_refusal("permission denied: uid " + std::to_string(peer.uid) +
                                        " may not control this host")
                                .dump() + "\n");
      continue;
    }
    Control_Connection* c = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (connections_.size() < MAX_CONNECTIONS) {
        c = new (std::nothrow) Control_Connection(this, fd, peer);
        if (c != 0)
          connections_.insert(c);  // the set's reference is the creator's
      }
    }
    if (c == 0) {
      refuse_over_cap(fd);
      continue;
    }
    c->reactor(reactor());
    if (reactor()->register_handler(c, ACE_Event_Handler::READ_MASK) != 0) {
      c->add_reference();
      ACE_Event_Handler_var const hold(c);  // finish() lets go of the set's reference
      c->finish();
    }
  }
  return 0;
}

int Control_Server::handle_timeout(const ACE_Time_Value&, const void*)
{
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (accept_paused_ && handle_ != ACE_INVALID_HANDLE &&
        reactor()->register_handler(this, ACE_Event_Handler::ACCEPT_MASK) == 0)
      accept_paused_ = false;
    if (spare_ < 0 && handle_ != ACE_INVALID_HANDLE)
      spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  time_t const now = ACE_OS::time(0);
  for (ACE_Event_Handler_var& c : hold_connections())
    static_cast<Control_Connection*>(c.handler())->expire(now);
  return 0;
}
