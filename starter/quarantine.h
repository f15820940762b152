/**
 * @file quarantine.h
 *
 * Services set aside for killing the host. With a state directory, each start-up and reload
 * reads the deaths file (deaths.h): a service blamed for the policy's count of deaths within
 * its window is quarantined, and stays so, not opened, until the operator releases it, its
 * library file changes (a new build) or its directive changes; every other service opens as
 * usual. Deaths and quarantines a change has overtaken are dropped from the file, as are
 * deaths older than the window, so that the file stays small. The decision is a function of
 * the records, the configuration and the clock; the host's glue below logs what it decides.
 */
#ifndef STARTER_QUARANTINE_H
#define STARTER_QUARANTINE_H

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "starter/deaths.h"
#include "starter/reload.h"

/// How many deaths within how long set a service aside.
struct Quarantine_Policy
{
  unsigned deaths = 3;
  time_t window = 600;  ///< seconds
};

/// A service set aside, for the log and the status.
struct Quarantined_Service
{
  std::string service;
  unsigned deaths = 0;  ///< the deaths that set it aside
  Death_Record last;    ///< the last death it was blamed for
  std::string where;    ///< its directive's file, once set aside from a configuration
  int line = 0;         ///< and line
  bool released = false;  ///< released by the operator since: the next reload opens it
};

/// A service set aside before that a change has released.
struct Quarantine_Release
{
  std::string service;
  std::string why;  ///< "its library changed" or "its directive changed"
};

/// What the deaths file and the configuration decide.
struct Quarantine_Decision
{
  std::vector<Quarantined_Service> quarantined;  ///< by name
  std::vector<Quarantine_Release> released;
  std::vector<Death_Record> kept;  ///< what the file is to hold from now on
};

/// The library file stamp of @a file now, as stamp_file() gives it.
typedef bool (*Stamp_Function)(const std::string& file, Library_Stamp& stamp);

/**
 * Decides from @a records which services are quarantined at @a now under @a policy, given the
 * directive_hash() of each service the configuration defines (@a directives, by name). A
 * record counts while its library file still has the stamp it had (@a stamp tells) and the
 * service's directive is unchanged; a service the configuration no longer names keeps its
 * records. A quarantine stands until its record stops counting; @a policy.deaths counted
 * deaths within @a policy.window seconds make a new one.
 */
Quarantine_Decision decide_quarantine(const std::vector<Death_Record>& records,
                                      const std::map<std::string, uint64_t>& directives,
                                      const Quarantine_Policy& policy, time_t now,
                                      Stamp_Function stamp = stamp_file);

/// The one line the status and the error record show for @a q's last death:
/// "2026-12-09T18:00:00Z: CAUSE".
std::string last_death_text(const Quarantined_Service& q);

/// What STATUS= adds for @a aside: "; quarantined: A (3 deaths, the last ...), B (...)", or
/// nothing when none is.
std::string quarantine_status(const std::vector<Quarantined_Service>& aside);

// The host's glue: the state is the process's, as the dying paths need it.

/// Opens the deaths file in @a dir and keeps @a policy: from now on services are set aside.
/// False, logged (LM_ERROR, with the path and errno), when the file cannot be opened.
bool open_quarantine(const std::string& dir, const Quarantine_Policy& policy);

/// Whether open_quarantine() succeeded.
bool quarantine_open();

/**
 * Before @a config is applied, at start-up and on each reload: decides (decide_quarantine(),
 * at the time now) and leaves each quarantined service's directives and sites out of
 * @a config. Logs each quarantined service at LM_ERROR (its deaths, its last, how to bring it
 * back) and each release by a change at LM_NOTICE, and rewrites the file when what it holds
 * changes (a failure logged). Returns the quarantined services; none without a deaths file.
 */
std::vector<Quarantined_Service> set_aside_quarantined(Checked_Config& config);

/// Once the services of @a running are open: prepares what a death would say of each
/// (prepare_blame()).
void prepare_running_blame(const Running_Config& running);

/// Drops every record of the service @a name from the deaths file, so that the next reload
/// or start opens it. Sets @a message to what was done ("released X: ...") or why not.
/// False when there is no deaths file, no record of @a name, or the file cannot be rewritten.
bool release_quarantined(const std::string& name, std::string& message);

#endif /* STARTER_QUARANTINE_H */
