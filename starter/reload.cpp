// The reload: what a SIGHUP (or the "-s" signal) does once the event loop carries it out.
#include "starter/reload.h"

#include <string>

#include <ace/OS_NS_time.h>
#include <ace/Service_Config.h>

#include "scrt/string_sprintf.h"
#include "starter/reports.h"
#include "starter/systemd_handler.h"

void reload_services()
{
  // A unit of Type=notify-reload waits for RELOADING=1 stamped with the monotonic clock, then
  // for READY=1.
  timespec now;
  ACE_OS::clock_gettime(CLOCK_MONOTONIC, &now);
  std::string state;
  string_sprintf(state, "RELOADING=1\nMONOTONIC_USEC=%llu\n",
                 static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                     static_cast<unsigned long long>(now.tv_nsec) / 1000ULL);
  Systemd_Handler::notify(state.c_str());
  ACE_Service_Config::reconfigure();
  Systemd_Handler::notify("READY=1\n");
  notify_service_status();
}
