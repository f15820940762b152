// The operator options: usage, version, configuration check.
#include "starter/operator_options.h"

#include <cstdio>

#include "starter/check_command.h"
#include "starter/command_line.h"
#include "starter/reload_record.h"
#include "starter/version.h"

static const char usage[] =
    "Usage: starter [host options] [Service Configurator options]\n"
    "\n"
    "Hosts the ACE services named in Service Configurator files until a stop signal.\n"
    "\n"
    "Host options:\n"
    "  --reactor KIND          create a reactor of this kind: select, tp, priority, dev_poll\n"
    "  --threads N             event-loop threads (a pool when N > 1: tp, dev_poll)\n"
    "  --reload changed|all    what a reload re-opens: the services whose directive or\n"
    "                          library changed, or all of them (the default)\n"
    "  --background            detach; return once the services are open\n"
    "  --user NAME|UID         switch to this user (and its primary group)\n"
    "  --primary-group NAME|GID  set the process's group\n"
    "  --group NAME|GID        add a supplementary group; may be repeated\n"
    "  --capability NAME       keep this capability (net_bind_service, CAP_NET_RAW) and no\n"
    "                          other across the switch; may be repeated\n"
    "  --no-new-privileges     nothing the services run may gain privileges\n"
    "  --control PATH          serve starterctl on a Unix socket at PATH (mode 0660)\n"
    "  --control-group GROUP   let members of GROUP use the control socket too\n"
    "  --strict                stop with a non-zero status when a service fails to open or\n"
    "                          the configuration has a problem, warnings included\n"
    "  --check                 print the Service Configurator's arguments, check what the run\n"
    "                          reads (as its --user): files, directives, libraries, factories\n"
    "  --quiet                 with --check: write errors only (for ExecStartPre=, ExecReload=)\n"
    "  --reload-wait PIDFILE   reload the host whose pid file this is (SIGHUP) and wait for the\n"
    "                          outcome: exit 0 when it was applied, 1 when refused or failed\n"
    "  --version               print the version and exit\n"
    "  --help                  print this text and exit\n"
    "\n"
    "Service Configurator options, passed on in order:\n"
    "  -b                      detach into the background (as --background)\n"
    "  -d                      turn on ACE debug output\n"
    "  -f PATH                 a configuration file, or a directory of *.conf files\n"
    "  -k KEY                  the logging server key\n"
    "  -n                      do not load statically linked services\n"
    "  -p FILE                 write the process id to FILE; removed on a clean stop\n"
    "  -s SIGNO                a further signal that reloads the configuration\n"
    "  -S DIRECTIVE            a Service Configurator directive\n"
    "  -y                      load statically linked services\n"
    "\n"
    "Signals: TERM, INT, QUIT stop; HUP reloads; USR2 toggles ACE debug output.\n";

int run_operator_options(const Command_Line& line)
{
  const Operator_Options& options = line.operators;
  if (options.help) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("starter %s (rev %s)\n", STARTER_PACKAGE_VERSION, STARTER_REVISION);
    return 0;
  }
  if (options.reload_wait)
    return wait_for_reload(options.reload_wait);
  if (options.check)
    return check_service_config(line);
  return -1;
}
