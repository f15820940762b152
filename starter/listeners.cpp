// The listener registry: the host's duplicate of each listening socket, handed back to the
// service that binds its address again.
#include "starter/listeners.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "scrt/log_macros.h"

namespace {

struct Entry
{
  std::string key;
  std::string service;
  /// The registry's own descriptor.
  int held;
  /// The service's descriptor of the same socket; -1 while unclaimed.
  int claim;
  bool stored;
};

std::mutex table_lock;
// Never destroyed: a close() after the static destructors still looks it up.
std::vector<Entry>& table = *new std::vector<Entry>;
/// The table's places by key and by descriptor (held or claiming): a host of a thousand
/// services binds and listens a thousand times, and a search of the whole table at each made
/// the start-up quadratic. Rebuilt after an entry is erased, which moves those after it.
std::unordered_map<std::string, size_t>& by_key = *new std::unordered_map<std::string, size_t>;
std::unordered_map<int, size_t>& by_fd = *new std::unordered_map<int, size_t>;

void reindex()
{
  by_key.clear();
  by_fd.clear();
  for (size_t i = 0; i < table.size(); ++i) {
    by_key[table[i].key] = i;
    by_fd[table[i].held] = i;
    if (table[i].claim >= 0)
      by_fd[table[i].claim] = i;
  }
}

void append(const Entry& e)
{
  table.push_back(e);
  size_t const i = table.size() - 1;
  by_key[e.key] = i;
  by_fd[e.held] = i;
  if (e.claim >= 0)
    by_fd[e.claim] = i;
}

/// One bit per descriptor below TRACKED that is a held or claimed one, so that close() of any
/// other descriptor costs a load. Descriptors above it are not held.
const int TRACKED = 1 << 16;
std::atomic<uint64_t> tracked[TRACKED / 64];

bool is_tracked(int fd)
{
  return fd >= 0 && fd < TRACKED &&
         (tracked[fd / 64].load(std::memory_order_relaxed) & (uint64_t(1) << (fd % 64))) != 0;
}

void track(int fd, bool on)
{
  uint64_t const bit = uint64_t(1) << (fd % 64);
  if (on)
    tracked[fd / 64].fetch_or(bit, std::memory_order_relaxed);
  else
    tracked[fd / 64].fetch_and(~bit, std::memory_order_relaxed);
}

/// The process's epoll sets (see note_poll_set()); each is tracked too.
std::vector<int>& poll_sets = *new std::vector<int>;

thread_local const char* opening = 0;

/// The key of the socket @a fd is bound to; empty when it is not one the registry holds.
std::string bound_key(int fd)
{
  sockaddr_storage a;
  socklen_t len = sizeof a;
  int type = 0;
  socklen_t tlen = sizeof type;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0)
    return std::string();
  return listener_key(reinterpret_cast<sockaddr*>(&a), len, type);
}

Entry* find_key(const std::string& key)
{
  std::unordered_map<std::string, size_t>::const_iterator const i = by_key.find(key);
  return i == by_key.end() ? 0 : &table[i->second];
}

/// The entry of which @a fd is the held or the claiming descriptor.
std::vector<Entry>::iterator find_fd(int fd)
{
  std::unordered_map<int, size_t>::const_iterator const i = by_fd.find(fd);
  return i == by_fd.end() ? table.end() : table.begin() + static_cast<std::ptrdiff_t>(i->second);
}

/// A close-on-exec duplicate of @a fd for the registry, numbered from FD_SETSIZE up where the
/// descriptor limit leaves room: the lowest numbers are the ones a select-based reactor can
/// watch, and a copy of each service's socket taking them would leave a host of some 500
/// services unable to register the next one's.
int duplicate_high(int fd)
{
  int const high = ::fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
  return high >= 0 ? high : ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

} // namespace

std::string listener_key(const struct sockaddr* a, socklen_t len, int type)
{
  char text[INET6_ADDRSTRLEN];
  if (a == 0 || (type & 0xff) != SOCK_STREAM)
    return std::string();
  if (a->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    // Written here: the C library's inet_ntop formats the four numbers through printf, half
    // the cost of a bind or listen of a host that opens a thousand.
    const sockaddr_in* const in = reinterpret_cast<const sockaddr_in*>(a);
    if (in->sin_port == 0)
      return std::string();
    char key[sizeof "tcp 255.255.255.255:65535"] = "tcp ";
    char* const end = key + sizeof key;
    char* at = key + 4;
    const unsigned char* const quad = reinterpret_cast<const unsigned char*>(&in->sin_addr);
    for (int i = 0; i < 4; ++i) {
      at = std::to_chars(at, end, quad[i]).ptr;
      *at++ = i < 3 ? '.' : ':';
    }
    at = std::to_chars(at, end, ntohs(in->sin_port)).ptr;
    return std::string(key, at);
  }
  if (a->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const sockaddr_in6* const in6 = reinterpret_cast<const sockaddr_in6*>(a);
    if (in6->sin6_port == 0 || ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == 0)
      return std::string();
    return std::string("tcp6 [") + text + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return std::string();
}

bool claim_listener(int fd, const struct sockaddr* a, socklen_t len)
{
  int const saved = errno;
  int type = 0;
  socklen_t tlen = sizeof type;
  // The family first: a bind of any other socket costs no system call here. The key is
  // looked up as a stream socket's, and the socket's type asked only when a held socket has
  // it: a start-up's binds find none.
  if (a == 0 || len < static_cast<socklen_t>(sizeof(sa_family_t)) ||
      (a->sa_family != AF_INET && a->sa_family != AF_INET6) || fd < 0 || fd >= TRACKED) {
    errno = saved;
    return false;
  }
  std::string const key = listener_key(a, len, SOCK_STREAM);
  std::lock_guard<std::mutex> guard(table_lock);
  Entry* const e = key.empty() ? 0 : find_key(key);
  if (e == 0 || e->claim >= 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tlen) != 0 ||
      (type & 0xff) != SOCK_STREAM) {
    errno = saved;
    return false;
  }
  // The new socket's flags go with its descriptor: close-on-exec is the descriptor's, and
  // non-blocking the socket's, which the held one then takes.
  int const fd_flags = ::fcntl(fd, F_GETFD);
  int const fl = ::fcntl(fd, F_GETFL);
  int const held_fl = ::fcntl(e->held, F_GETFL);
  if (fd_flags < 0 || fl < 0 || held_fl < 0 || ::dup2(e->held, fd) != fd) {
    errno = saved;
    return false;
  }
  (void)::fcntl(fd, F_SETFD, fd_flags);
  (void)::fcntl(fd, F_SETFL, (held_fl & ~O_NONBLOCK) | (fl & O_NONBLOCK));
  e->claim = fd;
  by_fd[fd] = static_cast<size_t>(e - table.data());
  e->service = opening != 0 ? opening : "";
  track(fd, true);
  errno = saved;
  return true;
}

void hold_listener(int fd)
{
  int const saved = errno;
  std::string const key = fd >= 0 && fd < TRACKED ? bound_key(fd) : std::string();
  if (key.empty()) {
    errno = saved;
    return;
  }
  std::unique_lock<std::mutex> guard(table_lock);
  if (find_key(key) != 0 || find_fd(fd) != table.end()) {
    errno = saved;
    return;
  }
  int const held = duplicate_high(fd);
  if (held < 0 || held >= TRACKED) {
    int const why = held < 0 ? errno : EMFILE;
    guard.unlock();
    if (held >= 0)
      ::close(held);
    rlimit limit = rlimit();
    (void)::getrlimit(RLIMIT_NOFILE, &limit);
    SCRT_LOG(-1, (LM_ERROR, "Cannot hold the listening socket on %s (%s): %s; the descriptor "
                  "limit is %Q (raise it: LimitNOFILE=, ulimit -n); a reload or restart of "
                  "%s refuses connections meanwhile\n",
                  key.c_str(), opening != 0 ? opening : "a service", ::strerror(why),
                  static_cast<ACE_UINT64>(limit.rlim_cur),
                  opening != 0 ? opening : "its service"));
    errno = saved;
    return;
  }
  Entry e = {key, opening != 0 ? opening : "", held, fd, false};
  append(e);
  track(fd, true);
  track(held, true);
  errno = saved;
}

void release_listener(int fd)
{
  if (!is_tracked(fd))
    return;
  std::lock_guard<std::mutex> guard(table_lock);
  std::vector<Entry>::iterator const i = find_fd(fd);
  track(fd, false);
  if (i == table.end()) {
    for (std::vector<int>::iterator p = poll_sets.begin(); p != poll_sets.end(); ++p)
      if (*p == fd) {
        poll_sets.erase(p);
        break;
      }
    return;
  }
  if (i->claim == fd) {
    i->claim = -1;
    by_fd.erase(fd);
    int const saved = errno;
    epoll_event none = epoll_event();
    for (int p : poll_sets)
      (void)::epoll_ctl(p, EPOLL_CTL_DEL, fd, &none);
    errno = saved;
  } else {
    // Someone else closed the registry's own descriptor: the socket is no longer held.
    if (i->claim >= 0)
      track(i->claim, false);
    table.erase(i);
    reindex();
  }
}

bool adopt_listener(int fd)
{
  int listening = 0;
  socklen_t len = sizeof listening;
  std::string const key = fd >= 0 && fd < TRACKED ? bound_key(fd) : std::string();
  if (key.empty() || ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 ||
      listening == 0)
    return false;
  std::lock_guard<std::mutex> guard(table_lock);
  if (find_key(key) != 0 || find_fd(fd) != table.end())
    return false;
  (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // Adopted from the manager's store or a socket unit: nothing to store again.
  Entry e = {key, "", fd, -1, true};
  append(e);
  track(fd, true);
  return true;
}

void note_poll_set(int fd)
{
  if (fd < 0 || fd >= TRACKED)
    return;
  std::lock_guard<std::mutex> guard(table_lock);
  poll_sets.push_back(fd);
  track(fd, true);
}

void listener_opening(const char* name)
{
  opening = name;
}

std::vector<std::string> drop_unclaimed_listeners()
{
  std::vector<std::string> dropped;
  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> guard(table_lock);
    // Kept entries moved down over the dropped ones in one pass: erasing each in place made
    // a start-up whose services mostly failed quadratic.
    size_t kept = 0;
    for (Entry& e : table) {
      if (e.claim >= 0) {
        if (&table[kept] != &e)
          table[kept] = std::move(e);
        ++kept;
        continue;
      }
      dropped.push_back(e.key);
      fds.push_back(e.held);
      track(e.held, false);
    }
    if (kept != table.size()) {
      table.resize(kept);
      reindex();
    }
  }
  // Closed unlocked: the host's close() reports here.
  for (int fd : fds)
    ::close(fd);
  return dropped;
}

std::vector<std::pair<int, std::string> > take_unstored_listeners()
{
  std::vector<std::pair<int, std::string> > fresh;
  std::lock_guard<std::mutex> guard(table_lock);
  for (Entry& e : table)
    if (!e.stored) {
      e.stored = true;
      fresh.push_back(std::make_pair(e.held, e.key));
    }
  return fresh;
}

std::vector<Held_Listener> held_listeners()
{
  std::vector<Held_Listener> all;
  std::lock_guard<std::mutex> guard(table_lock);
  for (const Entry& e : table) {
    Held_Listener h = {e.key, e.claim >= 0 ? e.service : std::string(), e.claim >= 0};
    all.push_back(h);
  }
  return all;
}
