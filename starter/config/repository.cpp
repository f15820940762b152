// The Service Repository walked in its own slot order, compacted, and closed service by service.
#include "starter/config/repository.h"

#include <exception>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"
#include "starter/config/finalise.h"

int remove_service(const std::string& name)
{
  bool found = false;
  return take_out_service(name, found);
}

namespace {

/// The repository's slots, read in order. Its iterator looks each slot up by number in a map
/// it searches from the start, so that a count through it costs n squared: 5.5 million
/// instructions at 1,000 services. The slots are protected; a member pointer formed in a
/// class derived from the repository reaches them (reading only).
class Repository_Slots : public ACE_Service_Repository
{
public:
  template <class F>
  static void each(ACE_Service_Repository& r, F f)
  {
    ACE_MT(ACE_GUARD(ACE_SYNCH_RECURSIVE_MUTEX, guard, r.*(&Repository_Slots::lock_)));
    const array_type& slots = r.*(&Repository_Slots::service_array_);
    for (array_type::const_iterator i = slots.begin(); i != slots.end(); ++i)
      f(i->second);
  }

  /// Calls @a f with the name of each service in the slots of @a r from @a from on; returns
  /// the number of slots.
  template <class F>
  static size_t names_from(ACE_Service_Repository& r, size_t from, F f)
  {
    ACE_MT(ACE_GUARD_RETURN(ACE_SYNCH_RECURSIVE_MUTEX, guard, r.*(&Repository_Slots::lock_), 0));
    const array_type& slots = r.*(&Repository_Slots::service_array_);
    for (array_type::const_iterator i = slots.begin() + from; i < slots.end(); ++i)
      if (i->second != 0)
        f(i->second->name());
    return slots.size();
  }

  /// Drops the empty slots of @a r, its services keeping their order. A slot is numbered by
  /// its place and looked up by number from the start, and ACE empties the slot of a removed
  /// service but keeps it: every reload that re-opens n services adds n slots, and each lookup
  /// after costs more. Only while no directive is being carried out, which numbers slots.
  static size_t compact(ACE_Service_Repository& r)
  {
    ACE_MT(ACE_GUARD_RETURN(ACE_SYNCH_RECURSIVE_MUTEX, guard, r.*(&Repository_Slots::lock_), 0));
    array_type& slots = r.*(&Repository_Slots::service_array_);
    array_type::iterator kept = slots.begin();
    size_t n = 0;
    for (array_type::iterator i = slots.begin(); i != slots.end(); ++i)
      if (i->second != 0)
        *kept++ = std::make_pair(n++, i->second);
    size_t dropped = 0;
    // One at a time from the tail: the map's erase of an inner element moves the tail into it.
    for (; slots.end() != kept; ++dropped)
      slots.erase(slots.end() - 1);
    return dropped;
  }
};

}  // namespace

namespace {

/// The hashes of the names in the repository's slots below scanned_slots. ACE adds a service
/// in a new slot at the end, replaces one in the slot of its name and empties the slot of one
/// it removes: a slot once read keeps its name or none, so a name whose hash is not here and
/// not in the slots added since is not in the repository. A hash here may be of a service
/// gone since, or of another name: the repository is then asked. Read and changed only where
/// no directive runs on another thread (start-up, quiesced reloads and restarts, the stop).
std::unordered_set<size_t> slot_names;
size_t scanned_slots = 0;

void forget_slot_names()
{
  slot_names.clear();
  scanned_slots = 0;
}

}  // namespace

bool may_hold_service(const std::string& name)
{
  ACE_Service_Repository& r = *ACE_Service_Repository::instance();
  if (r.current_size() < scanned_slots)
    forget_slot_names();  // closed and opened again
  scanned_slots = Repository_Slots::names_from(r, scanned_slots, [](const char* n) {
    slot_names.insert(std::hash<std::string>()(n));
  });
  return slot_names.count(std::hash<std::string>()(name)) != 0;
}

size_t compact_repository()
{
  forget_slot_names();  // the slots renumbered
  return Repository_Slots::compact(*ACE_Service_Repository::instance());
}

void for_each_service(const std::function<void(const ACE_Service_Type*)>& f)
{
  Repository_Slots::each(*ACE_Service_Repository::instance(), [&f](const ACE_Service_Type* t) {
    if (t != 0)
      f(t);
  });
}

int open_service_count()
{
  int open_services = 0;
  for_each_service([&](const ACE_Service_Type* t) { open_services += t->active() ? 1 : 0; });
  return open_services;
}

/// Logs the exception in flight, which @a what (a service's fini, say) threw.
static void log_escaped_exception(const char* what)
{
  try {
    throw;
  } catch (const std::exception& e) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception: %C\n", what, e.what()));
  } catch (...) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception of unknown type\n", what));
  }
}

int close_services()
{
  std::vector<ACE_Service_Type*> services;
  for_each_service([&services](const ACE_Service_Type* t) {
    services.push_back(const_cast<ACE_Service_Type*>(t));
  });
  int threw = 0;
  for (auto s = services.rbegin(); s != services.rend(); ++s)
    threw += finalise_service(**s);
  // ACE's own pass finalises what is left; it looks each slot up from the start of the
  // repository (5 million instructions at 1,000 services), so it runs only when a service
  // opened by another's fini is left.
  bool left = false;
  for_each_service([&left](const ACE_Service_Type* t) {
    left = left || (t->type() != 0 && !t->fini_called());
  });
  forget_slot_names();
  try {
    if (left)
      ACE_Service_Config::fini_svcs();
    ACE_Service_Config::close();
  } catch (...) {
    log_escaped_exception("Closing the Service Configurator");
    ++threw;
  }
  return threw;
}
