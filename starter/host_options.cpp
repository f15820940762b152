// The host's own options, daemon mode, and the reactor they ask for.
#include "starter/host_options.h"

#include <ace/ACE.h>
#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_string.h>

#include "scrt/log_macros.h"
#include "scrt/make_reactor.h"
#include "scrt/natoi.h"
#include "starter/open_service_config.h"

/// The most event-loop threads the host runs; a larger --threads is cut down to it, with a
/// warning. An overflowing count would otherwise ask for 2^64 threads; 1024 stacks still fit
/// any machine the host runs on.
static size_t const max_threads = 1024;

Host_Options parse_host_options(int argc, char** argv)
{
  Host_Options o;
  o.background = !find_service_config_option(argc, argv, 'b').empty();
  ACE_Get_Opt opt(argc, argv, ACE_TEXT(""), 1, 0, ACE_Get_Opt::RETURN_IN_ORDER, 0);
  opt.long_option(ACE_TEXT("threads"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("reactor"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("background"), ACE_Get_Opt::NO_ARG);
  opt.long_option(ACE_TEXT("user"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("primary-group"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("group"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("capability"), ACE_Get_Opt::ARG_REQUIRED);
  opt.long_option(ACE_TEXT("no-new-privileges"), ACE_Get_Opt::NO_ARG);
  for (int c; (c = opt()) != -1;) {
    if (c != 0)
      continue;  // everything else belongs to the Service Configurator, or to nobody
    const ACE_TCHAR* const name = opt.long_option();
    if (ACE_OS::strcmp(name, ACE_TEXT("threads")) == 0)
      o.threads = natoi<unsigned long>(opt.opt_arg(), nullptr, nullptr);
    else if (ACE_OS::strcmp(name, ACE_TEXT("reactor")) == 0)
      o.reactor = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("background")) == 0)
      o.background = true;
    else if (ACE_OS::strcmp(name, ACE_TEXT("user")) == 0)
      o.identity.user = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("primary-group")) == 0)
      o.identity.primary_group = opt.opt_arg();
    else if (ACE_OS::strcmp(name, ACE_TEXT("group")) == 0)
      o.identity.groups.push_back(opt.opt_arg());
    else if (ACE_OS::strcmp(name, ACE_TEXT("capability")) == 0)
      o.identity.capabilities.names.push_back(opt.opt_arg());
    else if (ACE_OS::strcmp(name, ACE_TEXT("no-new-privileges")) == 0)
      o.identity.capabilities.no_new_privileges = true;
  }
  return o;
}

ACE_Reactor* get_reactor(int argc, char** argv, size_t& threads)
{
  threads = 0;
  Host_Options const o = parse_host_options(argc, argv);
  if (o.background && ACE::daemonize(ACE_TEXT("/"), true, ACE_TEXT("<unknown>")) == -1) {
    // Skipping the switch would leave the services the identity the host was started with.
    if (o.identity.user != 0 || o.identity.primary_group != 0 ||
        !o.identity.capabilities.names.empty() || o.identity.capabilities.no_new_privileges)
      refuse_incomplete_identity();
    return 0;
  }
  switch_identity(o.identity);

  const char* const type = o.reactor;
  size_t n = o.threads;
  if (type == 0 || *type == 0)
    return 0;
  if (n > max_threads) {
    SCRT_LOG(0, (LM_WARNING, "Asked for %Q threads, using the maximum of %u\n",
                 static_cast<ACE_UINT64>(n), static_cast<unsigned>(max_threads)));
    n = max_threads;
  }
  make_reactor_t const maker = get_reactor_factory(type, n);
  if (maker == 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to get reactor factory by '%s'\n", type));
    return 0;
  }
  ACE_Reactor* const reactor = maker();
  if (reactor == 0) {
    SCRT_LOG(0, (LM_ERROR, "Failed to create '%s' reactor\n", type));
    return 0;
  }
  threads = n;
  if (threads > 1)
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor with %u threads\n", type,
                 static_cast<unsigned>(threads)));
  else
    SCRT_LOG(0, (LM_INFO, "Created '%s' reactor\n", type));
  return reactor;
}
