/**
 * @file daemon.h
 *
 * Daemon mode with a readiness pipe. The process the operator started (the launcher) stays
 * until the detached host has opened its services or has ended, and exits with the outcome:
 * 0 when the host runs, 1 when it ended before its event loop. Until then the detached host
 * keeps the launcher's standard error, so every refusal and failure of the start-up is seen
 * where the host was started. A failure to detach is logged and ends the process with status 1.
 * Every process but the detached host ends as soon as enter_background() returns to it.
 */
#ifndef STARTER_DAEMON_H
#define STARTER_DAEMON_H

/**
 * When @a background: detaches from the terminal and the session (two forks, a new session,
 * working directory "/", standard input and output on /dev/null, every other descriptor but
 * standard error closed), keeping the umask. Returns -1 in the process that goes on as the
 * host (the detached one, or this one when not @a background). Any other return is the status
 * the calling process must end with at once, by _exit, its clean-up being the detached host's:
 * the launcher's is the outcome of the host's start-up, read from the pipe; the intermediate
 * process's is 0; a failure to detach, logged, gives 1.
 */
int enter_background(bool background);

/// In a detached host: tells the launcher that the services are open, then points standard
/// error at /dev/null. Does nothing in the foreground or once the launcher was told.
void report_running();

#endif /* STARTER_DAEMON_H */
