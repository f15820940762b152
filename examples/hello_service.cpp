// A minimal service for the host: logs a greeting every few seconds until it is finalised.
// Arguments: -n NAME (who to greet, default "world"), -i SECONDS (default 5).
#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Reactor.h>
#include <ace/Service_Object.h>

#include <string>

class Hello_Service : public ACE_Service_Object
{
public:
  int init(int argc, ACE_TCHAR* argv[]) override
  {
    long interval = 5;
    ACE_Get_Opt opt(argc, argv, "n:i:", 0);
    for (int c; (c = opt()) != -1;) {
      if (c == 'n')
        name_ = opt.opt_arg();
      else if (c == 'i')
        interval = ACE_OS::atoi(opt.opt_arg());
    }
    if (interval <= 0)
      interval = 5;
    ACE_Time_Value const tv(interval);
    timer_ = ACE_Reactor::instance()->schedule_timer(this, 0, tv, tv);
    ACE_DEBUG((LM_INFO, "hello service: greeting %C every %d s\n", name_.c_str(), int(interval)));
    return timer_ == -1 ? -1 : 0;
  }

  int fini() override
  {
    if (timer_ != -1)
      ACE_Reactor::instance()->cancel_timer(timer_, 0, 1);
    ACE_DEBUG((LM_INFO, "hello service: goodbye, %C\n", name_.c_str()));
    return 0;
  }

  int handle_timeout(const ACE_Time_Value&, const void*) override
  {
    ACE_DEBUG((LM_INFO, "hello, %C\n", name_.c_str()));
    return 0;
  }

private:
  std::string name_ = "world";
  long timer_ = -1;
};

// The factory the configuration file names; the exterminator lets ACE delete the service
// with the library's own operator delete.
extern "C" ACE_Service_Object* _make_Hello_Service(ACE_Service_Object_Exterminator* gobbler)
{
  if (gobbler != 0)
    *gobbler = [](void* p) { delete static_cast<Hello_Service*>(p); };
  return new Hello_Service;
}
