/**
 * @file fd_store.h
 *
 * The held listeners and systemd: the listening sockets the host is started with
 * (LISTEN_FDS, from its own descriptor store or a socket unit) adopted into the listener
 * registry before any service opens, and the store kept equal to what the registry holds
 * (FDSTORE=1, FDSTOREREMOVE=1), so that a restarted or upgraded host finds them again. Without
 * systemd's client library or a manager to ask, the registry works alone.
 */
#ifndef STARTER_FD_STORE_H
#define STARTER_FD_STORE_H

#include <string>

/// Adopts the listening sockets passed in LISTEN_FDS into the registry, logs what it took,
/// and takes LISTEN_FDS, LISTEN_PID and LISTEN_FDNAMES out of the environment. A descriptor
/// that is not a listening TCP socket is logged and closed. Once, before services open.
void adopt_passed_listeners();

/// After an open, a reload or a restart of services: closes each held socket no service
/// claimed (logged, and dropped from the store), and puts the newly held ones in the store.
void settle_listeners();

/// The name a held socket of @a address ("tcp 127.0.0.1:9000") has in the store: the address
/// without the characters the store refuses (":" becomes "-", " " becomes "_").
std::string fd_store_name(const std::string& address);

#endif /* STARTER_FD_STORE_H */
