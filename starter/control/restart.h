/**
 * @file restart.h
 *
 * Restarting one service: finalised and opened again from its directive in the running
 * configuration, the rest untouched. Call only with the loop quiesced.
 */
#ifndef STARTER_CONTROL_RESTART_H
#define STARTER_CONTROL_RESTART_H

#include <ctime>
#include <string>

#include "starter/host_record.h"

/**
 * Finalises the service @a name and has the Service Configurator open it again from its
 * directive in @a record, noting @a now as its open time. Returns 0 with @a outcome saying what
 * was done; -1 with @a outcome saying why not: no such service, no directive of its own (a
 * stream, a module of one, a service ACE opened itself), or the directive failed to open it
 * again (the service is then gone).
 */
int restart_service(const std::string& name, Host_Record& record, time_t now, std::string& outcome);

#endif /* STARTER_CONTROL_RESTART_H */
