/**
 * @file restart.h
 *
 * The restart of one running service: finalised, then opened again from the directive it was
 * opened from, its library held meanwhile so that it is not loaded anew. Called with the
 * event loop quiesced (no service callback runs), as a reload is.
 */
#ifndef STARTER_RESTART_H
#define STARTER_RESTART_H

#include <string>

#include "starter/reload.h"

struct Restart_Outcome
{
  bool ok = false;  ///< it is open again
  int errors = 0;   ///< its fini threw, a directive failed (each logged)
  Open_Failures failures;  ///< it did not open again, and why
  /// "Restarted X from FILE:LINE" ("... with N errors (logged)"), or what failed: "no service
  /// X in the configuration", "X failed to open again from FILE:LINE: WHY".
  std::string message;
};

/// Finalises the service @a name of @a running and opens it again from its directive there.
Restart_Outcome restart_service(const std::string& name, const Running_Config& running);

#endif /* STARTER_RESTART_H */
