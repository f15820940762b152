/**
 * @file capabilities.h
 *
 * Capabilities kept across the identity switch ("--capability"), and the no-new-privileges
 * flag ("--no-new-privileges"). Like the rest of the switch this fails closed: every function
 * that changes the process returns false, after an error record naming the capability and the
 * cause, and the caller then refuses to run.
 */
#ifndef STARTER_CAPABILITIES_H
#define STARTER_CAPABILITIES_H

#include <vector>

/// What the operator asked for; an empty list and false ask for nothing, and nothing changes.
struct Capability_Request
{
  std::vector<const char*> names;  ///< "--capability", as written: any case, "CAP_" optional
  bool no_new_privileges = false;  ///< "--no-new-privileges"
};

/// Whether @a name names a capability this host knows ("net_bind_service", "CAP_NET_RAW");
/// numbers are not names.
bool is_capability_name(const char* name);

/// The --check pass over @a names: one line per unknown name on standard error, in the form
/// of the other --check lines. True when every name is known.
bool check_capability_names(const std::vector<const char*>& names);

/**
 * Before the user switch: checks that every name in @a request is known and held in the
 * permitted set, drops every other capability from the bounding set, and asks that the
 * permitted set survive the switch of the user id. Does nothing and returns true for an empty
 * list. Only the bounding set needs CAP_SETPCAP, and only for capabilities still in it.
 */
bool keep_capabilities(const Capability_Request& request);

/**
 * After the user switch (or in its stead when there is none): the permitted and effective sets
 * become exactly the named capabilities, the inheritable and ambient sets empty, and the
 * permitted set no longer survives a later user switch. Then sets the no-new-privileges flag
 * when asked. Does nothing and returns true when @a request asks for nothing.
 */
bool set_capabilities(const Capability_Request& request);

#endif /* STARTER_CAPABILITIES_H */
