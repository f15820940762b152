/**
 * @file commands.h
 *
 * The handler of each control command of CONTROL_COMMANDS (command_words.h). "status" is
 * answered where it was read; those that change or check the services (reload, check, suspend,
 * resume, restart) are carried out with the loop quiesced, and each answers with an outcome and
 * an exit status for the caller: 0 done, 1 refused or failed, 2 done with errors.
 */
#ifndef STARTER_CONTROL_COMMANDS_H
#define STARTER_CONTROL_COMMANDS_H

#include <nlohmann/json.hpp>

#include "starter/control/request.h"

class Host;

/// Whether @a r is to be carried out with the loop quiesced.
bool control_runs_quiesced(const Control_Request& r);

/**
 * Carries out @a r on @a host, with the loop quiesced when control_runs_quiesced() says so. A
 * reload is the host's own, as a reload signal's. Returns the answer: for a quiesced command
 * "ok", "exit" (0, 1, 2), "result", "summary" and "messages", and one record of what was done
 * is logged, naming @a uid, who asked.
 */
nlohmann::json run_control_command(const Control_Request& r, Host& host, long uid);

/// The answer for a request refused before it ran: @a why, exit status 1.
nlohmann::json control_refusal(const std::string& why);

#endif /* STARTER_CONTROL_COMMANDS_H */
