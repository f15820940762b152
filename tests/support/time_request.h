// Asks ACE's time service for the time, with the service's own request class, as its clients do.
#ifndef STARTER_TESTS_TIME_REQUEST_H
#define STARTER_TESTS_TIME_REQUEST_H

#include <cstdlib>
#include <ctime>

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>
#include <ace/Time_Value.h>
#include <netsvcs/Time_Request_Reply.h>

/// Whether the time service on the loopback @a port answers a time request, within
/// @a seconds for each step, with a time within a minute of this machine's.
inline bool answers_the_time(int port, int seconds = 5)
{
  ACE_SOCK_Stream peer;
  ACE_SOCK_Connector connector;
  ACE_Time_Value timeout(seconds);
  if (connector.connect(peer, ACE_INET_Addr(static_cast<u_short>(port), "127.0.0.1"),
                        &timeout) == -1)
    return false;
  ACE_Time_Request request(ACE_Time_Request::TIME_UPDATE, 0);
  void* buf = 0;
  ssize_t const len = request.encode(buf);
  ACE_Time_Request reply;
  bool const ok = peer.send_n(buf, len, &timeout) == len &&
                  peer.recv_n(&reply, reply.size(), &timeout) == reply.size() &&
                  reply.decode() == 0;
  peer.close();
  return ok && std::labs(static_cast<long>(reply.time() - std::time(0))) < 60;
}

#endif /* STARTER_TESTS_TIME_REQUEST_H */
