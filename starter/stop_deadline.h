/**
 * @file stop_deadline.h
 *
 * The stop deadline: a stop that has not ended the event loop within a few seconds, because a
 * service callback or a reload is stuck, ends the process without finalising the services,
 * rather than never. Its timer is created before the services open; creating it can fail.
 */
#ifndef STARTER_STOP_DEADLINE_H
#define STARTER_STOP_DEADLINE_H

/// Seconds a stop may take to end the event loop.
int const STOP_GRACE_SECONDS = 3;

/// Creates the deadline's timer and installs the disposition of its signal. False, with errno
/// set and nothing logged, when the timer cannot be created.
bool init_stop_deadline();

/// Async-signal-safe: starts the deadline, unless it was started or cancelled before.
void arm_stop_deadline();

/// Once the event loop has ended on every thread: a stop can no longer time out.
void cancel_stop_deadline();

#endif /* STARTER_STOP_DEADLINE_H */
