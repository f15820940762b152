/**
 * @file server.h
 *
 * The control socket: a Unix stream socket on the host's reactor that serves one request per
 * connection to root, the host's own user and, when one is named, the members of a control
 * group. No client can hold the loop: every socket is non-blocking, each connection has a
 * deadline, and connections beyond a cap are refused at once. Status is answered from the loop;
 * every other command runs with the loop quiesced.
 */
#ifndef STARTER_CONTROL_SERVER_H
#define STARTER_CONTROL_SERVER_H

#include <sys/types.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <ace/Event_Handler.h>

class ACE_Reactor;
class Control_Connection;
class Host;

/**
 * @class Control_Server
 *
 * @brief Accepts control connections and keeps count of them.
 *
 * Reference counted, as its connections are: the reactor's registration keeps it alive.
 */
class Control_Server : public ACE_Event_Handler
{
public:
  /// The most connections served at once; one more is refused with an answer saying so.
  static size_t const MAX_CONNECTIONS = 32;
  /// How long a client has to send its request, and to read its answer.
  static int const DEADLINE_SECONDS = 5;

  /// A server for @a host, which must outlive it.
  explicit Control_Server(Host& host);
  ~Control_Server() override;

  /**
   * Creates the socket at @a path (a stale socket left there is replaced; anything else there,
   * or a socket another process serves, is not), mode 0660 and, when @a group is not -1, owned
   * by that group, and serves it on @a r. Returns 0; or -1 with errno and @a why saying what
   * failed on what, nothing left behind.
   */
  int open(ACE_Reactor* r, const std::string& path, gid_t group, std::string& why);

  /// Ends every connection, takes the socket out of the reactor and removes its path, when it
  /// is still this socket. Repeatable.
  int close();

  /// = Internal methods the connections call.
  /// Whether a client of @a uid, @a gid with supplementary groups read off @a fd may control.
  bool allowed(int fd, uid_t uid, gid_t gid) const;
  /// Forgets @a c, which has closed.
  void forget(Control_Connection* c);
  /// The host the commands act on.
  Host& host() { return host_; }

protected:
  ACE_HANDLE get_handle() const override;
  /// Accepts every waiting connection.
  int handle_input(ACE_HANDLE) override;
  /// Ends the connections whose deadline has passed; a repeating timer, once a second.
  int handle_timeout(const ACE_Time_Value& now, const void* act) override;

  /// Refuses @a fd, over the cap, with one answer line; logs at most once a second.
  void refuse_over_cap(int fd);
  /// Out of descriptors (or memory): stops accepting until the next tick; logs at most once a
  /// minute, counting the failures in between.
  void pause_accepting(int error);
  /// Removes the socket's path when it is still the socket this server created.
  void unlink_own_socket() const;
  /// A reference to each open connection, taken under the lock, to act on outside it.
  std::vector<ACE_Event_Handler_var> hold_connections();

  Host& host_;
  ACE_HANDLE handle_;
  std::string path_;
  dev_t dev_;  ///< the socket file as created, so that close() removes no other
  ino_t ino_;
  gid_t group_;
  std::mutex lock_;  ///< guards connections_ and the refusal count; the pool's threads accept
  std::set<Control_Connection*> connections_;
  unsigned long refused_;  ///< over the cap since the last record
  time_t refused_logged_;
  /// Out of descriptors, accepting waits for the next tick: a listening socket that stays
  /// readable would otherwise spin the loop.
  bool accept_paused_;
  unsigned long accept_failures_;  ///< since the last "cannot accept" record
  time_t accept_logged_;
  /// A descriptor kept in reserve (on /dev/null): out of descriptors, it is given up to accept
  /// one control connection, so that an operator can still ask what the host is doing; taken
  /// again on a later tick. -1 while given up.
  int spare_;
};

#endif /* STARTER_CONTROL_SERVER_H */
