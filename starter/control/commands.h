/**
 * @file commands.h
 *
 * The control commands that change or check the services (reload, check, suspend, resume,
 * restart), carried out with the loop quiesced. Each answers with an outcome and an exit status
 * for the caller: 0 done, 1 refused or failed, 2 done with errors.
 */
#ifndef STARTER_CONTROL_COMMANDS_H
#define STARTER_CONTROL_COMMANDS_H

#include <nlohmann/json.hpp>

#include "starter/control/request.h"

class Host;

/**
 * Carries out @a r, any command but "status", on @a host; the loop must be quiesced. A reload
 * is the host's own, as a reload signal's. Returns the answer: "ok", "exit" (0, 1, 2),
 * "result", "summary" and "messages". Logs one record of what was done, naming @a uid, who
 * asked.
 */
nlohmann::json run_control_command(const Control_Request& r, Host& host, long uid);

/// The answer for a request refused before it ran: @a why, exit status 1.
nlohmann::json control_refusal(const std::string& why);

#endif /* STARTER_CONTROL_COMMANDS_H */
