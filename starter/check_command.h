/**
 * @file check_command.h
 *
 * --check: what the run would read and trip over, found without starting anything. The
 * configuration goes through the same assembly and check as the start-up and each reload
 * (config/pipeline.h), as the identity the run takes on; --check only prints. The vector goes
 * to standard output, one element per line; each problem is logged as the host logs (with the
 * journal's priorities under systemd), one record each ("starter: WHAT: PROBLEM" or
 * "FILE:LINE: message").
 */
#ifndef STARTER_CHECK_COMMAND_H
#define STARTER_CHECK_COMMAND_H

struct Command_Line;

/// Checks the run @a line asks for: the host's options, the words that go through
/// substitution, the configuration with its libraries and factories, and the capability names.
/// Warnings count as errors with --strict; with --quiet only errors are written, and not the
/// vector. Returns 0 when all is well, 1 otherwise. When the run switches identity, the
/// configuration is checked in a child process that takes it on, and that child returns from
/// here too, with its own status: the caller must end the process with the status returned,
/// doing nothing else first.
int check_service_config(const Command_Line& line);

#endif /* STARTER_CHECK_COMMAND_H */
