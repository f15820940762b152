// ACE makes a placeholder for each dynamic service it opens, named, on the opening thread, and
// lets it go once the service's library, factory and init are done: the host, whose exported
// symbols come first in the lookup, provides the placeholder's constructor and destructor,
// hands each call on, and so knows which service of a run of directives is opening.
#include <dlfcn.h>

#include <cstdlib>

#include "starter/config/apply.h"

namespace {

typedef void (*Make)(void*, void*, const char*);
typedef void (*Unmake)(void*);

// The placeholder's (ACE_Service_Type_Dynamic_Guard) constructor and destructor, as libACE
// exports them and calls them through its own symbol table.
#define GUARD_MAKE _ZN30ACE_Service_Type_Dynamic_GuardC1ER22ACE_Service_RepositoryPKc
#define GUARD_UNMAKE _ZN30ACE_Service_Type_Dynamic_GuardD1Ev
#define NAME_OF(s) #s
#define NAME(s) NAME_OF(s)

Make next_make()
{
  static Make const next = reinterpret_cast<Make>(::dlsym(RTLD_NEXT, NAME(GUARD_MAKE)));
  return next;
}

Unmake next_unmake()
{
  static Unmake const next = reinterpret_cast<Unmake>(::dlsym(RTLD_NEXT, NAME(GUARD_UNMAKE)));
  return next;
}

// Marks only when both calls reach ACE's own: otherwise each directive goes on its own.
bool const marking = next_make() != 0 && next_unmake() != 0 && (note_opening_marks(), true);

}  // namespace

extern "C" void GUARD_MAKE(void* guard, void* repository, const char* name)
{
  Make const next = next_make();
  if (next == 0)
    std::abort();  // libACE calls this only when it defines it
  next(guard, repository, name);
  // Nothing may leave a constructor ACE has begun: its placeholder would stay for ever.
  if (marking) {
    try {
      dynamic_service_opening(name);
    } catch (...) {
    }
  }
}

extern "C" void GUARD_UNMAKE(void* guard)
{
  Unmake const next = next_unmake();
  if (next == 0)
    std::abort();
  next(guard);
  // Run as an exception a service's init threw unwinds, too: nothing may leave it.
  if (marking) {
    try {
      dynamic_service_opened();
    } catch (...) {
    }
  }
}
