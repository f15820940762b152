// A service for the soak script: each time it is initialised (at start-up and on every
// reload) it logs how many slots the Service Configurator's repository holds, so that the
// repository's growth per reload can be read from the host's output.
#include <ace/Log_Msg.h>
#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>

namespace {

class Repo_Slots_Service : public ACE_Service_Object
{
public:
  int init(int, ACE_TCHAR*[]) override
  {
    ACE_Service_Repository* const repo = ACE_Service_Config::current()->current_service_repository();
    ACE_DEBUG((LM_INFO, "repository slots: %B\n", repo != 0 ? repo->current_size() : size_t(0)));
    return 0;
  }
  int fini() override { return 0; }
};

}  // namespace

extern "C" ACE_Service_Object* make_repo_slots_service()
{
  return new Repo_Slots_Service;
}
