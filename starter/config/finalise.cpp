// A service's fini called by the host inside a catch, ahead of ACE's own call, which may not
// throw.
#include "starter/config/finalise.h"

#include <algorithm>
#include <exception>

#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"
#include "starter/config/repository.h"
#include "starter/config/libraries.h"
#include "starter/config/stop_signal_guard.h"

int finalise_service(ACE_Service_Type& t)
{
  if (t.type() == 0 || t.fini_called())
    return 0;
  // ACE marks the fini called before it runs it: one that throws is not called again, and
  // the object it was finalising is left as it is rather than deleted half-finalised.
  try {
    (void)t.fini();
    return 0;
  } catch (const std::exception& e) {
    SCRT_LOG(-1, (LM_ERROR, "The fini of service '%s' threw an exception: %s\n", t.name(),
                  e.what()));
  } catch (...) {
    SCRT_LOG(-1, (LM_ERROR, "The fini of service '%s' threw an exception of unknown type\n",
                  t.name()));
  }
  return 1;
}

int take_out_service(const std::string& name, bool& found)
{
  found = false;
  if (!may_hold_service(name))
    return 0;
  // A service's fini that hands a stop signal back to its default would let it kill the host.
  Stop_Signal_Guard const stop_signals(name);
  ACE_Service_Type* t = 0;
  found = ACE_Service_Repository::instance()->remove(name.c_str(), &t) == 0 && t != 0;
  if (!found)
    return 0;
  int const threw = finalise_service(*t);
  delete t;  // its destructor no longer calls the fini
  return threw;
}

int set_aside_services(const std::vector<std::string>& files)
{
  std::vector<std::pair<std::string, std::string>> named;
  for_each_service([&](const ACE_Service_Type* t) {
    std::string const file = loaded_file(t->dll());
    if (std::find(files.begin(), files.end(), file) != files.end())
      named.emplace_back(t->name(), file);
  });
  for (const auto& n : named) {
    ACE_Service_Type* t = 0;
    // Left as it is, on purpose: its destructor would call its fini and close its library.
    (void)ACE_Service_Repository::instance()->remove(n.first.c_str(), &t);
    SCRT_LOG(-1, (LM_WARNING, "Service '%s' is not finalised: its library %s was overwritten "
                  "in place and its code may be damaged\n", n.first.c_str(), n.second.c_str()));
  }
  return static_cast<int>(named.size());
}
