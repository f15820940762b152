/**
 * @file journal_log.h
 *
 * Log lines the journal can rank: when standard error is the journal's stream, every line the
 * process logs through ACE starts with "<N>", N the syslog priority of its record. Any other
 * standard error gets exactly the output ACE writes itself. Nothing here fails the host.
 */
#ifndef STARTER_JOURNAL_LOG_H
#define STARTER_JOURNAL_LOG_H

/// When JOURNAL_STREAM names the device and inode of standard error, routes every ACE log
/// record of the process (its services' included) to standard error with priority prefixes.
/// Returns true when it did. Call once, before anything logs.
bool install_journal_log();

/// Puts the prefixed output back in place after ACE's logging was opened again (the Service
/// Configurator's open does, and turns plain standard-error output back on). Nothing when
/// install_journal_log() did not install it.
void reassert_journal_log();

#endif /* STARTER_JOURNAL_LOG_H */
