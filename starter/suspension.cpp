// A suspension confined to the suspended services, whoever asked for it: a control command or
// a "suspend" directive.
#include "starter/suspension.h"

#include <ace/Reactor.h>
#include <ace/Service_Object.h>
#include <ace/Service_Types.h>

#include "starter/config/repository.h"

void confine_suspension()
{
  ACE_Reactor* const reactor = ACE_Reactor::instance();
  reactor->resume_handlers();
  for_each_service([reactor](const ACE_Service_Type* t) {
    const ACE_Service_Type_Impl* const impl = t->type();
    if (t->active() || impl == 0 || impl->service_type() != ACE_Service_Type::SERVICE_OBJECT)
      return;
    ACE_Service_Object* const so = static_cast<ACE_Service_Object*>(impl->object());
    if (so != 0 && so->get_handle() != ACE_INVALID_HANDLE)
      reactor->suspend_handler(so->get_handle());
  });
}


void confine_directed_suspension()
{
  bool suspended = false;
  for_each_service([&suspended](const ACE_Service_Type* t) {
    suspended = suspended || (!t->active() && t->type() != 0 &&
                              t->type()->service_type() == ACE_Service_Type::SERVICE_OBJECT);
  });
  if (suspended)
    confine_suspension();
}
