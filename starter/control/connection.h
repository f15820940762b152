/**
 * @file connection.h
 *
 * One control client on the host's reactor: its request line read without blocking, "status"
 * answered from the loop, every other command handed to the host to run with the loop
 * quiesced, and the answer written without blocking. Any failure of the client's socket ends
 * the connection quietly; a malformed request is answered and logged.
 */
#ifndef STARTER_CONTROL_CONNECTION_H
#define STARTER_CONTROL_CONNECTION_H

#include <sys/socket.h>

#include <ctime>
#include <mutex>
#include <string>

#include <ace/Event_Handler.h>
#include <nlohmann/json.hpp>

class Control_Server;

/**
 * @class Control_Connection
 *
 * @brief One client: its request read, its command carried out, its answer written.
 *
 * Reference counted: the reactor's registration and a waiting command keep it alive. Its
 * state is guarded by its own lock, as any loop thread may read, write or expire it.
 */
class Control_Connection : public ACE_Event_Handler
{
public:
  /// A connection of @a server on the accepted socket @a fd, which it owns, from @a peer.
  Control_Connection(Control_Server* server, ACE_HANDLE fd, const ucred& peer);
  ~Control_Connection() override;

  /// Sends @a answer and ends the connection once it is written. From the loop or a job.
  void answer(const nlohmann::json& answer);

  /// Ends the connection: out of the reactor, its socket closed. Repeatable, from any thread.
  void finish();

  /// Ends the connection when its deadline passed before @a now, with a record.
  void expire(time_t now);

  ACE_HANDLE get_handle() const override;
  /// Reads the request, up to its end of line, and answers it.
  int handle_input(ACE_HANDLE) override;
  /// Writes more of the answer.
  int handle_output(ACE_HANDLE) override;

private:
  enum State { READING, RUNNING, WRITING, CLOSED };

  /// Answers the request read, @a eof when the client closed its side without an end of line.
  void serve(bool eof);

  /// Writes what the socket takes; ends the connection when all is written or the client has
  /// gone, else waits until it can write more.
  void write_some();

  void close_handle();

  Control_Server* server_;
  ACE_HANDLE handle_;
  ucred peer_;
  std::recursive_mutex lock_;
  State state_;
  time_t deadline_;  ///< to send the request, then to read the answer
  std::string in_;
  std::string out_;
  size_t sent_;
};

/// Closes the client socket @a fd after reading what it has sent and not been read (at most
/// 64 KiB): closed with unread data, a Unix socket resets its peer, which then loses the answer
/// still waiting for it.
void drain_and_close(int fd);

#endif /* STARTER_CONTROL_CONNECTION_H */
