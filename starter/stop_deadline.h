/**
 * @file stop_deadline.h
 *
 * The stop deadline: a stop that has not completed within a few seconds, because a service
 * callback, a reload or a service's fini is stuck, ends the process with status
 * STOP_DEADLINE_STATUS and the pid file removed, without finalising the services that are
 * left, rather than never. Only the expiry of its own timer ends the process, never a signal
 * sent from outside. Its timer is created before the services open; creating it can fail.
 */
#ifndef STARTER_STOP_DEADLINE_H
#define STARTER_STOP_DEADLINE_H

/// Seconds a stop may take, finalising the services included.
int const STOP_GRACE_SECONDS = 3;

/// The exit status of a stop that the deadline cut short.
int const STOP_DEADLINE_STATUS = 2;

/// Creates the deadline's timer and installs the disposition of its signal. False, with errno
/// set and nothing logged, when the timer cannot be created.
bool init_stop_deadline();

/// Async-signal-safe: starts the deadline, unless it was started or cancelled before.
void arm_stop_deadline();

/// Once the services are finalised: a stop can no longer time out.
void cancel_stop_deadline();

#endif /* STARTER_STOP_DEADLINE_H */
