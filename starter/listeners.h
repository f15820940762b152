/**
 * @file listeners.h
 *
 * The listener registry: the host's own duplicate of every listening TCP socket a service
 * opens, keyed by what was bound ("tcp 127.0.0.1:9000", "tcp6 [::1]:9000"), so that a service
 * opened again by a reload, a restart or a new host process gets the same socket, and with it
 * the connections that waited in its queue meanwhile. The host's bind, listen and close
 * (socket_calls.cpp, the executable's own) report here; services know nothing of it.
 *
 * Any thread may call these; the table is locked. A held descriptor is close-on-exec.
 */
#ifndef STARTER_LISTENERS_H
#define STARTER_LISTENERS_H

#include <sys/socket.h>

#include <string>
#include <utility>
#include <vector>

/// One held listening socket, as status shows it.
struct Held_Listener
{
  /// "tcp 127.0.0.1:9000" or "tcp6 [::1]:9000".
  std::string address;
  /// The service that holds it; empty while none does (or a service the host could not name).
  std::string service;
  /// Whether a service's descriptor is the socket now.
  bool claimed;
};

/// The address @a a (of @a len bytes) as the registry keys it, for a socket of @a type; empty
/// for what the registry does not hold (not a TCP socket of the internet families, port 0).
std::string listener_key(const struct sockaddr* a, socklen_t len, int type);

/**
 * For a service's bind of @a fd to @a a: when the registry holds an unclaimed socket bound
 * there, the held socket is duplicated onto @a fd (its close-on-exec and non-blocking flags
 * kept as @a fd had them) and true is returned: the bind is done. False, with errno as it
 * was, when the caller is to bind as usual.
 */
bool claim_listener(int fd, const struct sockaddr* a, socklen_t len);

/// After a service's successful listen on @a fd: holds a duplicate of the socket unless it is
/// held already. A duplicate the descriptor limit refuses is logged (the socket then is not
/// kept across the service's next reopen). errno is kept.
void hold_listener(int fd);

/// Before @a fd is closed, by anyone: a service's descriptor of a held socket leaves it
/// unclaimed; a held descriptor someone else closes is forgotten. Cheap for any other
/// descriptor; errno is kept.
void release_listener(int fd);

/// Notes @a fd, a new epoll set. The kernel drops a descriptor from an epoll set only when its
/// socket closes, which a held one does not: a service's descriptor of a held socket is taken
/// out of each set when it closes, as it would be without the registry.
void note_poll_set(int fd);

/// Takes @a fd, a listening socket handed to the host (systemd's LISTEN_FDS), as held and
/// unclaimed. False, @a fd left alone, when it is not a listening TCP socket or its address is
/// held already.
bool adopt_listener(int fd);

/// Which service is opening on this thread (@a name), so that its listeners name it; null when
/// none is.
void listener_opening(const char* name);

/// Closes every held socket no service claims; returns their addresses.
std::vector<std::string> drop_unclaimed_listeners();

/// The held sockets not yet handed out by take_unstored_listeners(), each as its held
/// descriptor (still the registry's) and address; they count as handed out from now on.
std::vector<std::pair<int, std::string> > take_unstored_listeners();

/// Every held socket, in the order they were held.
std::vector<Held_Listener> held_listeners();

#endif /* STARTER_LISTENERS_H */
