/**
 * @file identity.h
 *
 * The identity switch: primary group, the user's groups, supplementary groups, user, kept
 * capabilities, in that order. A privilege drop that was asked for and did not fully happen
 * ends the process before any service loads: running the services with more privilege than
 * the operator allowed is worse than not running them.
 */
#ifndef STARTER_IDENTITY_H
#define STARTER_IDENTITY_H

#include <vector>

#include <ace/Basic_Types.h>

#include "starter/capabilities.h"

/// The identity the operator asked for; null members and an empty list ask for nothing.
struct Identity_Request
{
  const char* user = nullptr;           ///< "--user": a name or a numeric id
  const char* primary_group = nullptr;  ///< "--primary-group": a name or a numeric id
  std::vector<const char*> groups;      ///< "--group", in command-line order
  Capability_Request capabilities;      ///< kept across the switch, and no new privileges
};

/// The numeric id @a s spells (0 to 4294967295, read as strtoll reads it), or -1 when @a s is
/// to be taken as a name.
ACE_INT64 parse_uid_gid(const char* s);

/// Takes on @a request. A supplementary group that does not resolve is left out with an error
/// record; anything else that fails is logged and ends the process through
/// refuse_incomplete_identity().
void switch_identity(const Identity_Request& request);

/// Logs "Refusing to run with an incomplete identity switch." and exits with status 1. The
/// cause has been logged already.
[[noreturn]] void refuse_incomplete_identity();

#endif /* STARTER_IDENTITY_H */
