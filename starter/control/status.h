/**
 * @file status.h
 *
 * The answer to "status": the host (pid, version, reactor, threads, uptime, reloads) and every
 * service the configuration opened (name, type, state, directive site, arguments, open time,
 * its own info() text), ACE's built-in entries that no directive names too when asked. Reads the
 * repository and asks each service for its info(), nothing else.
 */
#ifndef STARTER_CONTROL_STATUS_H
#define STARTER_CONTROL_STATUS_H

#include <ctime>

#include <nlohmann/json.hpp>

#include "starter/host_record.h"

/// The status of the host in @a record and of every service the configuration names, as of
/// @a now; with @a all, of every entry of the Service Repository; where the loop is held, when
/// it is. Without @a with_services the answer says that the services are changing (a reload or
/// a command runs) and lists none.
nlohmann::json control_status(const Host_Record& record, time_t now, bool all = false,
                              bool with_services = true);

/// @a t as UTC in ISO 8601 ("2024-01-31T12:00:00Z"); empty for 0.
std::string iso_time(time_t t);

#endif /* STARTER_CONTROL_STATUS_H */
