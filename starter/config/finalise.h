/**
 * @file finalise.h
 *
 * A service's fini called by the host itself, inside a catch, before ACE takes the service out
 * of the Service Repository. ACE calls the fini of a service it removes or replaces from the
 * service type's destructor, which may not throw: an exception there ends the process. Once
 * the host has called it, ACE does not call it again; and as ACE no longer finds a service
 * once its fini was called, the host takes the service out of the repository first.
 */
#ifndef STARTER_CONFIG_FINALISE_H
#define STARTER_CONFIG_FINALISE_H

#include <string>
#include <vector>

class ACE_Service_Type;

/// Calls the fini of @a t unless it was called already. An exception it throws is logged
/// (LM_ERROR, "The fini of service 'NAME' threw an exception: TEXT") and counted. Returns 1
/// when it threw, else 0.
int finalise_service(ACE_Service_Type& t);

/// Takes the service @a name out of the Service Repository, calls its fini as above, and
/// deletes it. Returns 1 when its fini threw, else 0; @a found says whether there was one.
int take_out_service(const std::string& name, bool& found);

/// Takes each service loaded from one of @a files out of the Service Repository without calling
/// into it (no fini, no delete, its library left mapped), each with a warning: the files were
/// overwritten in place, and their code may be damaged. Returns the count.
int set_aside_services(const std::vector<std::string>& files);

#endif /* STARTER_CONFIG_FINALISE_H */
