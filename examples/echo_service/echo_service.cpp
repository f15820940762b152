// A template for a network service of the host: echoes back what each TCP client sends.
// Copy this directory, rename the class and the factory, and put your protocol in
// Echo_Handler::handle_input. Arguments: -p PORT (required), -a ADDRESS (default: all).
#include <ace/Acceptor.h>
#include <ace/Get_Opt.h>
#include <ace/INET_Addr.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Stream.h>
#include <ace/Service_Object.h>
#include <ace/svc_export.h>
#include <ace/Svc_Handler.h>
#include <ace/Synch_Traits.h>

#include <mutex>
#include <set>

class Echo_Service;

/// One client connection. ACE_Svc_Handler registers it with the reactor for input when the
/// acceptor opens it, and deletes it when it closes.
class Echo_Handler : public ACE_Svc_Handler<ACE_SOCK_Stream, ACE_NULL_SYNCH>
{
public:
  explicit Echo_Handler(Echo_Service* owner = 0) : owner_(owner) {}

  int open(void* acceptor) override;
  int handle_input(ACE_HANDLE) override;
  int handle_close(ACE_HANDLE, ACE_Reactor_Mask) override;

private:
  Echo_Service* owner_;
};

/// Accepts connections on the reactor and hands each to a new Echo_Handler that knows its
/// service, so that the service can close what is still open when it is finalised.
class Echo_Acceptor : public ACE_Acceptor<Echo_Handler, ACE_SOCK_Acceptor>
{
public:
  explicit Echo_Acceptor(Echo_Service* owner) : owner_(owner) {}

  int make_svc_handler(Echo_Handler*& sh) override
  {
    if (sh == 0)
      ACE_NEW_RETURN(sh, Echo_Handler(owner_), -1);
    sh->reactor(this->reactor());
    return 0;
  }

private:
  Echo_Service* owner_;
};

class Echo_Service : public ACE_Service_Object
{
public:
  Echo_Service() : acceptor_(this) {}

  int init(int argc, ACE_TCHAR* argv[]) override
  {
    long port = 0;
    const char* address = 0;
    bool usage = false;
    // The host hands over only the quoted arguments of the directive, with no program name in
    // front: the 0 makes ACE_Get_Opt start at argv[0]. Its default, 1, skips argv[0] as a
    // program name, so "-p 20107" would lose its "-p" and the port would be silently ignored.
    ACE_Get_Opt opt(argc, argv, ACE_TEXT("p:a:"), 0);
    for (int c; (c = opt()) != -1;) {
      switch (c) {
        case 'p': {
          char* end = 0;
          port = ACE_OS::strtol(opt.opt_arg(), &end, 10);
          usage = usage || *end != 0 || port < 1 || port > 65535;
          break;
        }
        case 'a':
          address = opt.opt_arg();
          break;
        default:
          usage = true;
          break;
      }
    }
    // ACE's log formats are not printf's: %C is a narrow string, %N and %l the file and line
    // of this call (so "%lu" prints the line and a "u"), %p the text of errno after a prefix.
    if (usage || port == 0)
      ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("%N:%l: echo service: usage: -p PORT [-a ADDRESS]\n")),
                       -1);
    ACE_INET_Addr at;
    u_short const p = static_cast<u_short>(port);
    if ((address != 0 ? at.set(p, address) : at.set(p)) == -1)
      ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("echo service: bad address %C:%u: %p\n"),
                        address != 0 ? address : "*", unsigned(port), ACE_TEXT("set")), -1);
    // The host's reactor: the process-wide one, which the host runs on one thread or several.
    if (acceptor_.open(at, ACE_Reactor::instance()) == -1)
      ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("echo service: cannot listen on port %u: %p\n"),
                        unsigned(port), ACE_TEXT("open")), -1);
    ACE_DEBUG((LM_INFO, ACE_TEXT("echo service: listening on port %u\n"), unsigned(port)));
    return 0;
  }

  /// Stops listening and closes every open connection: once the service is finalised the host
  /// may unload this library, and no handler of it may stay with the reactor.
  int fini() override
  {
    acceptor_.close();
    std::set<Echo_Handler*> open;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open.swap(handlers_);
    }
    for (Echo_Handler* h : open)
      h->close();
    ACE_DEBUG((LM_INFO, ACE_TEXT("echo service: closed, %u connection(s) ended\n"),
               unsigned(open.size())));
    return 0;
  }

  // With --threads above 1 the callbacks of several connections run at once: hence the lock.
  void opened(Echo_Handler* h)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.insert(h);
  }
  void closed(Echo_Handler* h)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(h);
  }

private:
  Echo_Acceptor acceptor_;
  std::mutex mutex_;
  std::set<Echo_Handler*> handlers_;
};

int Echo_Handler::open(void* acceptor)
{
  // Known to the service before the reactor knows it: once registered, the connection may be
  // served, and closed, by another thread of a pool before this function returns, so nothing
  // here may touch the handler after the base class's open. A failed open closes it, which
  // makes it known no more.
  if (owner_ != 0)
    owner_->opened(this);
  return ACE_Svc_Handler<ACE_SOCK_Stream, ACE_NULL_SYNCH>::open(acceptor);
}

int Echo_Handler::handle_input(ACE_HANDLE)
{
  char buf[4096];
  ssize_t const n = this->peer().recv(buf, sizeof buf);
  // 0: the client closed; -1: an error. Either way returning -1 makes the reactor call
  // handle_close, which ends the connection.
  if (n <= 0)
    return -1;
  return this->peer().send_n(buf, static_cast<size_t>(n)) == n ? 0 : -1;
}

int Echo_Handler::handle_close(ACE_HANDLE h, ACE_Reactor_Mask mask)
{
  if (owner_ != 0)
    owner_->closed(this);
  owner_ = 0;
  return ACE_Svc_Handler<ACE_SOCK_Stream, ACE_NULL_SYNCH>::handle_close(h, mask);
}

// The factory the configuration file names as "echo_service:_make_Echo_Service()". It must be
// extern "C": the name is looked up as written, and a C++ name would be mangled. The "()"
// in the directive says it is a function; without it ACE takes the symbol for a ready-made
// service object. The exterminator lets ACE delete the service with this library's delete.
extern "C" ACE_Svc_Export ACE_Service_Object* _make_Echo_Service(ACE_Service_Object_Exterminator* gobbler)
{
  if (gobbler != 0)
    *gobbler = [](void* p) { delete static_cast<Echo_Service*>(p); };
  return new Echo_Service;
}
