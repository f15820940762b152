/**
 * @file host_record.h
 *
 * What the control socket tells about the host beyond the Service Repository: the facts fixed
 * at start-up, the reloads so far, and where each open service's directive is. Written only
 * while no event of the loop is dispatched (start-up, a quiesced reload or command), read by
 * status requests from the loop.
 */
#ifndef STARTER_HOST_RECORD_H
#define STARTER_HOST_RECORD_H

#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "starter/config/apply.h"
#include "starter/config/pipeline.h"
#include "starter/quarantine.h"

/// A service's directive in the running configuration, and when the service was opened.
struct Service_Site
{
  /// The file, or "-S" for a command-line directive: one string for all the services of a file.
  std::shared_ptr<const std::string> where;
  int line = 0;
  std::string arguments;
  time_t opened = 0;
};

/// How the last reload ended.
struct Reload_Record
{
  unsigned count = 0;        ///< reloads carried out or refused since start-up
  std::string result;  ///< "applied", "refused", "rolled back" or "applied with errors"; empty before any
  std::string summary;       ///< its one-line outcome
  std::vector<std::string> messages;  ///< its problems and errors, "FILE:LINE: message"
  time_t at = 0;
};

/// The host's own part of the status.
struct Host_Record
{
  const char* reactor = nullptr;  ///< "--reactor" as resolved, null for ACE's default
  size_t threads = 0;             ///< event-loop threads; 0 or 1 is the main thread
  time_t started = 0;
  const char* reload_mode = "all";
  Reload_Record last_reload;
  std::map<std::string, Service_Site> sites;  ///< by service name
  std::vector<Quarantined_Service> quarantined;  ///< set aside by the last start-up or reload
  /// Why each service that did not open failed, "FILE:LINE: why", by name; kept once it
  /// opens (a status shows it only for a service that is not open).
  std::map<std::string, std::string> failures;

  /// Notes each of @a f in failures.
  void failed(const Open_Failures& f);

  /**
   * Notes the configuration @a config the Service Configurator is handed: where each service's
   * directive is. The first directive for a name is the one that counts, as it is for the
   * Configurator. A service's open time becomes @a now, unless it is named in @a kept or its
   * directive is a "-S" one (a reload carries out neither again) and it was noted before: then
   * it keeps the time it was opened. The sites are taken from @a config.services, which is
   * left empty.
   */
  void configured(Checked_Config& config, time_t now, const std::set<std::string>& kept = {});

  /// Notes that service @a name was opened again at @a now (a restart).
  void reopened(const std::string& name, time_t now);

  /// Notes the outcome of a reload: @a result, @a summary and @a messages, at @a now.
  void reloaded(const char* result, const std::string& summary,
                const std::vector<std::string>& messages, time_t now);
};

#endif /* STARTER_HOST_RECORD_H */
