/**
 * @file suspension.h
 *
 * A suspension kept to the suspended services. ACE's acceptors with the "schedule all
 * reactive" strategy (its time and name services among them) suspend and resume every handler
 * of the reactor, the host's own (its signal relay, control socket, notifier) and other
 * services' included. Only with the loop quiesced: no dispatch holds a handler.
 */
#ifndef STARTER_SUSPENSION_H
#define STARTER_SUSPENSION_H

/// Every handler of the reactor resumed, then the acceptor of each service that is not active
/// suspended again. A handler a service suspended by itself is resumed too.
void confine_suspension();

/// As confine_suspension(), when a service is suspended: after a configuration's "suspend"
/// directives were carried out (start-up, reload, restart).
void confine_directed_suspension();

#endif /* STARTER_SUSPENSION_H */
