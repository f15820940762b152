/**
 * @file host_options.h
 *
 * The host's own options ("--reactor", "--threads", "--background", "--user",
 * "--primary-group", "--group", "--capability", "--no-new-privileges"), read in place: argv is never reordered, since the Service
 * Configurator reads the same words later. Then the process detaches when asked, takes on the
 * asked identity and builds the reactor.
 */
#ifndef STARTER_HOST_OPTIONS_H
#define STARTER_HOST_OPTIONS_H

#include <cstddef>

#include <ace/Reactor.h>

#include "starter/identity.h"

/// The host's options as the command line gives them.
struct Host_Options
{
  const char* reactor = nullptr;  ///< "--reactor", null when not given
  size_t threads = 0;             ///< "--threads", 0 when not given
  bool background = false;        ///< "--background", or the Service Configurator's "-b"
  Identity_Request identity;
};

/// Reads the host's options out of @a argc / @a argv (only read).
Host_Options parse_host_options(int argc, char** argv);

/**
 * Daemonizes when asked (the Service Configurator's "-b" is honoured here, in ACE's stead),
 * switches identity, and returns a new reactor of the "--reactor" kind, which the caller owns.
 * Returns null when no reactor was asked for, when none could be made (logged), or when
 * daemonizing failed (not logged). @a threads is 0 unless a reactor is returned; then it is the
 * "--threads" count, capped at 1024. Does not return when an asked-for identity could not be
 * taken on completely.
 */
ACE_Reactor* get_reactor(int argc, char** argv, size_t& threads);

#endif /* STARTER_HOST_OPTIONS_H */
