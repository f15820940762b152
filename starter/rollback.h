/**
 * @file rollback.h
 *
 * A reload's undoing: when a service it opens or re-opens fails, every service it touched is
 * put back as the running configuration has it, so that a reload applies completely or not at
 * all. Called with the loop quiesced, after the reload's directives were carried out.
 */
#ifndef STARTER_ROLLBACK_H
#define STARTER_ROLLBACK_H

#include <set>
#include <string>
#include <vector>

#include "starter/config/apply.h"
#include "starter/config/repository.h"
#include "starter/reload.h"

/// The names of the services in the Service Repository now, suspended ones included.
std::set<std::string> services_in_repository();

/// What a roll-back did.
struct Rollback_Outcome
{
  int errors = 0;                       ///< the fini exceptions and failed directives meanwhile
  std::vector<std::string> not_reopened;  ///< services of @a open_before left not open
};

/// Finalises and removes each service named in @a touched, the last first, then carries out
/// again, in order, the directives of @a running that name those of them in @a open_before
/// (defined, suspended, resumed), so that each is opened from its running directive. A
/// service that was not open before the reload is left not open.
Rollback_Outcome roll_back(const std::vector<std::string>& touched,
                           const std::set<std::string>& open_before, const Running_Config& running);

/// "Reload rolled back: NAME did not open (FILE:LINE: WHY); the running services are
/// unchanged", the first of @a failures named and the others counted; when @a undone left a
/// service not open, "...; not open again: A, B" in place of "the running services are
/// unchanged".
std::string rollback_summary(const Open_Failures& failures, const Rollback_Outcome& undone);

#endif /* STARTER_ROLLBACK_H */
