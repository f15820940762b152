// A service's fini called by the host inside a catch, ahead of ACE's own call, which may not
// throw.
#include "starter/config/finalise.h"

#include <algorithm>
#include <exception>
#include <string>

#include <ace/DLL.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"
#include "starter/config/repository.h"
#include "starter/config/libraries.h"
#include "starter/config/stop_signal_guard.h"
#include "starter/kept_libraries.h"
#include "starter/service_threads.h"

namespace {

/// What ACE's service type keeps to itself: whether it deletes its object, and how.
struct Impl_Access : ACE_Service_Type_Impl
{
  static u_int& flags(ACE_Service_Type_Impl& t) { return t.*(&Impl_Access::flags_); }
  static ACE_Service_Object_Exterminator gobbler(const ACE_Service_Type_Impl& t)
  {
    return t.*(&Impl_Access::gobbler_);
  }
};

/// Whether a service other than @a t that is not finalised was loaded by @a handle.
bool library_shared(const ACE_Service_Type& t, void* handle)
{
  bool shared = false;
  for_each_service([&](const ACE_Service_Type* s) {
    shared = shared || (s != &t && !s->fini_called() && s->dll().get_handle() == handle);
  });
  return shared;
}

}  // namespace

int finalise_service(ACE_Service_Type& t)
{
  if (t.type() == 0 || t.fini_called())
    return 0;
  // A thread the service leaves running may still use its object and run its code: the
  // object is deleted here once none is left, and the library is held until then.
  ACE_Service_Type_Impl& impl = const_cast<ACE_Service_Type_Impl&>(*t.type());
  void* const object = impl.object();
  ACE_Service_Object_Exterminator const gobbler = Impl_Access::gobbler(impl);
  bool const delete_object = object != 0 && impl.service_type() == ACE_Service_Type::SERVICE_OBJECT &&
                             (Impl_Access::flags(impl) & ACE_Service_Type::DELETE_OBJ) != 0;
  if (delete_object)
    Impl_Access::flags(impl) &= ~static_cast<u_int>(ACE_Service_Type::DELETE_OBJ);
  ACE_DLL const hold(t.dll());
  void* const handle = t.dll().get_handle();
  std::string const name = t.name();
  // ACE marks the fini called before it runs it: one that throws is not called again, and
  // the object it was finalising is left as it is rather than deleted half-finalised.
  int threw = 1;
  try {
    (void)t.fini();
    threw = 0;
  } catch (const std::exception& e) {
    SCRT_LOG(-1, (LM_ERROR, "The fini of service '%s' threw an exception: %s\n", name.c_str(),
                  e.what()));
  } catch (...) {
    SCRT_LOG(-1, (LM_ERROR, "The fini of service '%s' threw an exception of unknown type\n",
                  name.c_str()));
  }
  Left_Threads const left =
      threads_left_by(name, handle, [&t, handle] { return !library_shared(t, handle); });
  std::string const file = plain_path(loaded_file(hold));
  const char* const lib = file.empty() ? "(the host's own)" : file.c_str();
  if (left.own != 0)
    SCRT_LOG(-1, (LM_WARNING, "Service '%s' left %d thread%s running after its fini: the host "
                  "keeps its object and its library %s loaded for %s (a new file installed at "
                  "its path is loaded beside it); a service is to stop its threads, and wait for "
                  "them, in its fini\n", name.c_str(), static_cast<int>(left.own),
                  left.own == 1 ? "" : "s", lib, left.own == 1 ? "it" : "them"));
  // Started outside any service's init (by a handler, say): the library's, not one service's.
  if (left.library != 0)
    SCRT_LOG(-1, (LM_WARNING, "%d thread%s running the code of %s, started by its services "
                  "outside their init, run%s on after the last of them ('%s') was finalised: the "
                  "host keeps the library loaded for %s (a new file installed at its path is "
                  "loaded beside it); a service is to stop its threads, and wait for them, in its "
                  "fini\n",
                  static_cast<int>(left.library), left.library == 1 ? "" : "s", lib,
                  left.library == 1 ? "s" : "", name.c_str(), left.library == 1 ? "it" : "them"));
  if (left.own == 0 && left.library == 0 && delete_object && threw == 0) {
    if (gobbler != 0)
      gobbler(object);
    else
      operator delete(object);
  }
  return threw;
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
