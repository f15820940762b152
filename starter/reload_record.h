/**
 * @file reload_record.h
 *
 * The reload record, so that a reload command can wait for the reload it asked for and say
 * how it ended. After each reload the host replaces one line beside its pid file (PIDFILE.reload):
 * when the reload began, its status and the outcome it logged. "--reload-wait PIDFILE" signals
 * the host and waits for the record of a reload that began after the signal. Without a pid
 * file nothing is recorded; a record that cannot be written is logged and never stops the host.
 */
#ifndef STARTER_RELOAD_RECORD_H
#define STARTER_RELOAD_RECORD_H

#include <string>

/// The monotonic clock now, in microseconds: the time base of the record.
unsigned long long monotonic_usec();

/// Replaces the record at @a path (reload_record_path() of the pid file the host wrote; empty
/// for none) with a reload that began at @a began (monotonic_usec()) and ended with @a status
/// (0: applied without errors) and @a outcome, one line of text. A failure is logged with the
/// path and the cause.
void write_reload_record(const std::string& path, unsigned long long began, int status,
                         const std::string& outcome);

/**
 * The --reload-wait mode: sends SIGHUP to the process named in @a pid_file, then waits (up to
 * 80 s, below systemd's default timeout for a reload command) for the record of a reload that
 * began after it, and logs its outcome. Returns 0 when that reload was applied without errors;
 * 1, with an error record saying why, when the host refused it or reported errors, when the
 * pid file names no process that can be signalled, or when no outcome came: the host stopped,
 * or it was not started with that pid file.
 */
int wait_for_reload(const char* pid_file);

#endif /* STARTER_RELOAD_RECORD_H */
