/**
 * @file compare.h
 *
 * What a reload that touches only what changed does: the checked configuration compared with
 * the one the running services were opened from, directive by directive.
 *
 * The rules. A service is defined by a "dynamic" directive or a "stream dynamic" block, and
 * known by its name (the last definition of a name counts, as in the Configurator):
 * - same words (name, type, library, factory, active flag, arguments; a stream's modules),
 *   wherever they stand: kept, untouched, unless its library file holds new code;
 * - gone from the configuration: removed (finalised);
 * - changed, or its library holds new code: finalised, then opened from its new directive;
 * - new: opened.
 * "static", "suspend", "resume", "remove" and the other "stream" directives are carried out
 * when they are new or changed, and when they name a service opened or re-opened by this
 * reload (so a re-opened service is suspended again); one that is dropped is not undone.
 */
#ifndef STARTER_CONFIG_COMPARE_H
#define STARTER_CONFIG_COMPARE_H

#include <set>
#include <string>
#include <vector>

#include "starter/config/grammar.h"

/// What happens to one service.
enum Service_Change { SERVICE_KEPT, SERVICE_OPENED, SERVICE_REOPENED, SERVICE_REMOVED };

/// Why a service is re-opened.
enum Reopen_Reason {
  REOPEN_NONE,               ///< it is not re-opened
  REOPEN_ARGUMENTS_CHANGED,  ///< its directive changed in its arguments alone
  REOPEN_LIBRARY_CHANGED,    ///< its directive names another library
  REOPEN_DIRECTIVE_CHANGED,  ///< its directive changed otherwise
  REOPEN_NEW_CODE            ///< its directive is the same, its library file holds new code
};

/// @a r as the reload's records say it: "arguments changed", "its library changed"...
const char* reopen_reason_text(Reopen_Reason r);

struct Service_Step
{
  Service_Change change;
  std::string name;
  const Conf_Entry* entry;  ///< its directive in the new configuration; null when removed
  Reopen_Reason why;        ///< for a re-open
};

struct Reload_Plan
{
  std::vector<Service_Step> services;  ///< every service of either configuration
  std::vector<std::string> finalise;   ///< removed, then re-opened ones, to finalise first
  std::vector<const Conf_Entry*> apply;  ///< then the new directives to carry out, in order
  int kept = 0, opened = 0, reopened = 0, removed = 0;
};

/// Whether @a e defines a service ("dynamic" or "stream dynamic").
bool defines_service(const Conf_Entry& e);

/// Compares @a next with @a running; the services named in @a new_code are re-opened even
/// when their directive did not change. The plan points into @a next.
Reload_Plan plan_reload(const std::vector<Conf_Entry>& running, const std::vector<Conf_Entry>& next,
                        const std::set<std::string>& new_code);

#endif /* STARTER_CONFIG_COMPARE_H */
