/**
 * @file host_options.h
 *
 * The host's own options ("--reactor", "--threads", "--background", "--user",
 * "--primary-group", "--group", "--capability", "--no-new-privileges", "--control",
 * "--control-group", "--reload", the Service Configurator's "-b" and "-p", which the host
 * carries out itself, and its "-s"), as the command line gives them (command_line.h). They are
 * checked and resolved before the host does anything with them, so that every refusal reaches
 * the operator before the host detaches; then the reactor they ask for is built.
 */
#ifndef STARTER_HOST_OPTIONS_H
#define STARTER_HOST_OPTIONS_H

#include <cstddef>
#include <optional>
#include <string>

#include <ace/Reactor.h>

#include "starter/identity.h"

/// The host's options as the command line gives them, completed by resolve_host_options().
struct Host_Options
{
  const char* reactor = nullptr;       ///< "--reactor", null when not given or not usable
  const char* threads_text = nullptr;  ///< "--threads" as written, null when not given
  const char* reload = nullptr;        ///< "--reload" as written: "changed" or "all"
  bool reload_changed = false;         ///< "--reload changed", once resolved
  size_t threads = 0;                  ///< the event-loop threads to run, once resolved
  bool background = false;             ///< "--background", or the Service Configurator's "-b"
  Identity_Request identity;
  std::string start_dir;               ///< the working directory the host started in
  std::optional<std::string> pid_file; ///< the last "-p" path, made absolute against start_dir
  const char* control = nullptr;       ///< "--control": the control socket's path
  std::string control_path;            ///< control, made absolute against start_dir
  const char* control_group = nullptr; ///< "--control-group": a group also allowed to control
  gid_t control_gid = static_cast<gid_t>(-1);  ///< control_group, once resolved
  const char* pid_file_word = nullptr;         ///< the last "-p" as written
  const char* reconfig_signal_word = nullptr;  ///< the last "-s" as written
  int reconfig_signal = 0;             ///< the last "-s" signal, 0 when none is given
};

/**
 * Checks and completes @a o, logging each problem: "--reload"
 * must be "changed" or "all"; "--threads"
 * must be a plain decimal count (one that overflows is taken as the most there may be, and
 * more than 1024 as 1024, with a warning); a reactor kind that cannot be made is dropped for
 * ACE's default reactor; kinds that let only one thread run their loop (and the default
 * reactor) run one, with one warning when more were asked for. The Service Configurator's
 * last "-s" must name a signal the host can reconfigure on: a decimal number of a signal a
 * process may handle, other than the one the stop deadline uses. Resolves the identity's
 * names, the starting directory and the pid file's path. Returns false when the host must not start:
 * a malformed count or "-s", an identity that does not resolve (with the refusal record), or, when
 * @a strict, a reactor kind that cannot be made.
 */
bool resolve_host_options(Host_Options& o, bool strict);

/**
 * Returns a new reactor of the kind @a o (resolved) asks for, which the caller owns, and sets
 * @a threads to the number of event-loop threads to run on it. Returns null with @a threads 0
 * when no reactor was asked for or none could be made (logged).
 */
ACE_Reactor* get_reactor(const Host_Options& o, size_t& threads);

#endif /* STARTER_HOST_OPTIONS_H */
