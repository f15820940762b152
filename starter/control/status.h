/**
 * @file status.h
 *
 * The answer to "status": the host (pid, version, reactor, threads, uptime, reloads) and every
 * service in the Service Repository (name, type, state, directive site, arguments, open time,
 * its own info() text). Reads the repository and asks each service for its info(), nothing else.
 */
#ifndef STARTER_CONTROL_STATUS_H
#define STARTER_CONTROL_STATUS_H

#include <ctime>

#include <nlohmann/json.hpp>

#include "starter/host_record.h"

/// The status of the host in @a record and, with @a services, of every service, as of @a now;
/// where the loop is held, when it is. Without @a services the answer says that they are
/// changing (a reload or a command runs) and lists none.
nlohmann::json control_status(const Host_Record& record, time_t now, bool services = true);

/// @a t as UTC in ISO 8601 ("2024-01-31T12:00:00Z"); empty for 0.
std::string iso_time(time_t t);

#endif /* STARTER_CONTROL_STATUS_H */
