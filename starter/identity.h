/**
 * @file identity.h
 *
 * The identity switch: primary group, the user's groups, supplementary groups, user, kept
 * capabilities, in that order. The names are resolved on their own first, so that the host can refuse while the
 * operator still watches (before it detaches). A privilege drop that was asked for and did not
 * fully happen is reported to the caller, which must end the process before any service
 * loads: running the services with more privilege than the operator allowed is worse than not
 * running them.
 */
#ifndef STARTER_IDENTITY_H
#define STARTER_IDENTITY_H

#include <sys/types.h>

#include <string>
#include <vector>

#include <ace/Basic_Types.h>

#include "starter/capabilities.h"

/// The ids the names of an Identity_Request stand for, as resolve_identity() finds them.
struct Resolved_Identity
{
  bool complete = false;             ///< resolve_identity() found every name the switch needs
  std::string user;                  ///< the user's name; empty when no user is asked for
  uid_t uid = static_cast<uid_t>(-1);
  bool set_gid = false;              ///< a primary group is asked for, directly or by the user
  gid_t gid = static_cast<gid_t>(-1);
  std::vector<gid_t> groups;         ///< the "--group" groups that resolved
};

/// The identity the operator asked for; null members and an empty list ask for nothing.
struct Identity_Request
{
  const char* user = nullptr;           ///< "--user": a name or a numeric id
  const char* primary_group = nullptr;  ///< "--primary-group": a name or a numeric id
  std::vector<const char*> groups;      ///< "--group", in command-line order
  Capability_Request capabilities;      ///< kept across the switch, and no new privileges
  Resolved_Identity resolved;           ///< filled in by resolve_identity()
};

/// Whether @a request asks for any switch at all.
bool identity_asked(const Identity_Request& request);

/**
 * Looks up every name of @a request in the user and group databases and fills in
 * @a request.resolved. Returns false when "--user" or "--primary-group" does not resolve (each
 * failure logged): the switch would be incomplete. A "--group" that does not resolve is logged
 * and left out. A lookup that needs more room than the system suggests is retried with a
 * larger buffer, up to 1 MiB.
 */
bool resolve_identity(Identity_Request& request);

/// The numeric id @a s spells (0 to 4294967295, read as strtoll reads it), or -1 when @a s is
/// to be taken as a name.
ACE_INT64 parse_uid_gid(const char* s);

/// Resolves @a group, a name or a numeric id, into @a gid. False, logged, when it does not.
bool resolve_group(const char* group, gid_t& gid);

/// Takes on @a request, which resolve_identity() has resolved. Returns false, the process then
/// being neither what it was nor what was asked, when the request is not resolved completely or
/// a system call fails (each failure logged with its cause); the caller must then end the
/// process before any service loads. The setting of supplementary groups is the exception: its
/// failure is logged and leaves fewer groups, never more.
bool switch_identity(const Identity_Request& request);

/// Logs "Refusing to run with an incomplete identity switch."; the cause has been logged already.
void log_incomplete_identity();

#endif /* STARTER_IDENTITY_H */
