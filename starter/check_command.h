/**
 * @file check_command.h
 *
 * --check: what the run would read and trip over, found without starting anything. The
 * configuration goes through the same assembly and check as the start-up and each reload
 * (config/pipeline.h), as the identity the run takes on; --check only prints. The vector goes
 * to standard output, one element per line; each problem to standard error, one line each
 * ("starter: WHAT: PROBLEM" or "FILE:LINE: message"), or through ACE's log by the code the run
 * itself uses.
 */
#ifndef STARTER_CHECK_COMMAND_H
#define STARTER_CHECK_COMMAND_H

/// Checks the run @a argc / @a argv asks for: the host's options, the words that go through
/// substitution, the configuration with its libraries and factories, and the capability names.
/// Returns 0 when all is well, 1 otherwise. When the run switches identity, the configuration
/// is checked in a child process that takes it on, and that child returns from here too, with
/// its own status: the caller must end the process with the status returned, doing nothing
/// else first.
int check_service_config(int argc, char** argv);

#endif /* STARTER_CHECK_COMMAND_H */
