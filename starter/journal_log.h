/**
 * @file journal_log.h
 *
 * Log lines the journal can rank: when standard error is the journal's stream, every line of
 * every ACE log record printed to standard error (the host's, its services', and the records a
 * logging service forwards) starts with "<N>", N the syslog priority of its record. ACE's
 * logging flags stay exactly as ACE and the services set them. Any other standard error gets
 * exactly the output ACE writes itself. Nothing here fails the host.
 */
#ifndef STARTER_JOURNAL_LOG_H
#define STARTER_JOURNAL_LOG_H

/// When JOURNAL_STREAM names the device and inode of standard error, has every ACE record
/// printed to standard error from then on written with priority prefixes. Returns true when
/// it did. Call once, before anything logs.
bool install_journal_log();

/// Whether install_journal_log() took over standard error: records written to it directly (the
/// death records, see last_words.h) then start each line with "<N>" too.
bool journal_log_installed();

#endif /* STARTER_JOURNAL_LOG_H */
