/**
 * @file daemon.h
 *
 * Daemon mode with a readiness pipe. The process the operator started (the launcher) stays
 * until the detached host has opened its services or has ended, and exits with the outcome:
 * 0 when the host runs, 1 when it ended before its event loop. Until then the detached host
 * keeps the launcher's standard error, so every refusal and failure of the start-up is seen
 * where the host was started. A failure to detach is logged and ends the process with status 1.
 */
#ifndef STARTER_DAEMON_H
#define STARTER_DAEMON_H

/**
 * When @a background: detaches from the terminal and the session (two forks, a new session,
 * working directory "/", standard input and output on /dev/null, every other descriptor but
 * standard error closed), keeping the umask. Returns in the detached process only; the
 * launcher waits on the pipe and exits there. Does nothing when not @a background.
 */
void enter_background(bool background);

/// In a detached host: tells the launcher that the services are open, then points standard
/// error at /dev/null. Does nothing in the foreground or once the launcher was told.
void report_running();

#endif /* STARTER_DAEMON_H */
