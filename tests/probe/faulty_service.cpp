// Service libraries with a newcomer's faults, for the configuration check and the loading of
// services: a factory declared without extern "C" (so its name is mangled) beside one with it,
// and, built with FAULTY_UNRESOLVED, an init that calls a helper no library defines.
#include <ace/Service_Object.h>

#if defined(FAULTY_UNRESOLVED)
extern "C" int faulty_missing_helper();
#endif

namespace {

class Faulty_Service : public ACE_Service_Object
{
public:
  int init(int, ACE_TCHAR*[]) override
  {
#if defined(FAULTY_UNRESOLVED)
    return faulty_missing_helper();
#else
    return 0;
#endif
  }
};

}  // namespace

ACE_Service_Object* _make_Faulty_Service(ACE_Service_Object_Exterminator*)
{
  return new Faulty_Service;
}

extern "C" ACE_Service_Object* _make_Faulty_C(ACE_Service_Object_Exterminator*)
{
  return new Faulty_Service;
}
