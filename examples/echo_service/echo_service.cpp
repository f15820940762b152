// A template for a network service of the host: echoes back what each TCP client sends, and
// reports its traffic from a thread of its own. Arguments: -p PORT (required), -a ADDRESS
// (default: all), -r SECONDS (how often the traffic is reported, default 60; 0: never).
//
// To make your own, copy this directory and rename, so that its records, the host's status and
// a debugger name your service and not this one:
//   - the classes Echo_Service, Echo_Acceptor, Echo_Handler and Echo_Reporter;
//   - the factory _make_Echo_Service, here and in echo.conf's directive;
//   - the library: the project and target echo_service in CMakeLists.txt, and the file
//     libecho_service.so and the service name Echo in echo.conf's directive;
//   - the "echo service:" in front of each record.
// Then put your protocol in Echo_Handler::handle_input, and your periodic work (or none) in
// Echo_Reporter::svc.
#include <ace/Acceptor.h>
#include <ace/Get_Opt.h>
#include <ace/INET_Addr.h>
#include <ace/Log_Msg.h>
#include <ace/Message_Block.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_sys_time.h>
#include <ace/OS_NS_time.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Stream.h>
#include <ace/Service_Object.h>
#include <ace/svc_export.h>
#include <ace/Svc_Handler.h>
#include <ace/Synch_Traits.h>
#include <ace/Task.h>

#include <atomic>
#include <cerrno>
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
  /// How long accepting pauses when the process is out of descriptors.
  static int const PAUSE_SECONDS = 1;
  /// At most one "cannot accept" record in this many seconds; the next one counts the others.
  static int const RECORD_SECONDS = 60;

  explicit Echo_Acceptor(Echo_Service* owner) : owner_(owner) {}

  int make_svc_handler(Echo_Handler*& sh) override
  {
    if (sh == 0)
      ACE_NEW_RETURN(sh, Echo_Handler(owner_), -1);
    sh->reactor(this->reactor());
    return 0;
  }

  /// Ends a pause; before close(), so that no timer of the acceptor outlives it.
  void stop_pause()
  {
    if (this->reactor() != 0)
      this->reactor()->cancel_timer(this, 1);
  }

protected:
  /// Out of descriptors, the connection stays queued and the listening socket readable: ACE's
  /// acceptor would try it again at once, for ever, and spin a loop thread. So the acceptor
  /// leaves the reactor for a moment and a timer brings it back; the clients wait in the queue.
  int handle_accept_error() override
  {
    int const error = errno;
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM)
      return 0;  // that client's trouble (it reset, say): go on with the next
    ++failures_;
    time_t const now = ACE_OS::time(0);
    if (now - recorded_ >= RECORD_SECONDS) {
      ACE_INET_Addr at;
      this->acceptor().get_local_addr(at);
      errno = error;
      ACE_ERROR((LM_WARNING, ACE_TEXT("echo service: cannot accept on port %u: %p: trying again ")
                             ACE_TEXT("every %d s (%u more failures since the last such record)\n"),
                 unsigned(at.get_port_number()), ACE_TEXT("accept"), PAUSE_SECONDS,
                 unsigned(failures_ - 1)));
      recorded_ = now;
      failures_ = 0;
    }
    if (this->reactor()->remove_handler(this, ACE_Event_Handler::ACCEPT_MASK |
                                                  ACE_Event_Handler::DONT_CALL) == 0 &&
        this->reactor()->schedule_timer(this, 0, ACE_Time_Value(PAUSE_SECONDS)) == -1)
      this->reactor()->register_handler(this, ACE_Event_Handler::ACCEPT_MASK);  // spin, not die
    return 0;
  }

  int handle_timeout(const ACE_Time_Value&, const void*) override
  {
    if (this->reactor() != 0)
      this->reactor()->register_handler(this, ACE_Event_Handler::ACCEPT_MASK);
    return 0;
  }

private:
  Echo_Service* owner_;
  unsigned failures_ = 0;  ///< since the last record
  time_t recorded_ = 0;
};

/// The service's own thread: reports the traffic every few seconds, until the service stops it.
/// Any periodic work that may block (a flush to disk, a call to another server) belongs on such
/// a thread, never on the host's loop.
class Echo_Reporter : public ACE_Task<ACE_MT_SYNCH>
{
public:
  explicit Echo_Reporter(Echo_Service* owner) : owner_(owner) {}

  /// Starts the thread, reporting every @a seconds. -1 when it cannot start.
  int start(int seconds)
  {
    interval_ = ACE_Time_Value(seconds);
    this->msg_queue()->activate();
    return this->activate(THR_NEW_LWP | THR_JOINABLE, 1);
  }

  /// Wakes the thread, which ends, and waits for it: after fini the library may be unloaded,
  /// and a thread still running in it would crash the host. Repeatable.
  void stop()
  {
    this->msg_queue()->deactivate();
    this->wait();
  }

  int svc() override;

private:
  Echo_Service* owner_;
  ACE_Time_Value interval_;
};

class Echo_Service : public ACE_Service_Object
{
public:
  Echo_Service() : acceptor_(this), reporter_(this) {}

  int init(int argc, ACE_TCHAR* argv[]) override
  {
    long port = 0;
    long report = 60;
    const char* address = 0;
    bool usage = false;
    // The host hands over only the quoted arguments of the directive, with no program name in
    // front: the 0 makes ACE_Get_Opt start at argv[0]. Its default, 1, skips argv[0] as a
    // program name, so "-p 20107" would lose its "-p" and the port would be silently ignored.
    ACE_Get_Opt opt(argc, argv, ACE_TEXT("p:a:r:"), 0);
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
        case 'r': {
          char* end = 0;
          report = ACE_OS::strtol(opt.opt_arg(), &end, 10);
          usage = usage || *end != 0 || report < 0 || report > 86400;
          break;
        }
        default:
          usage = true;
          break;
      }
    }
    // ACE's log formats are not printf's: %C is a narrow string, %N and %l the file and line
    // of this call (so "%lu" prints the line and a "u"), %p the text of errno after a prefix.
    if (usage || port == 0)
      ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("%N:%l: echo service: usage: -p PORT [-a ADDRESS] [-r SECONDS]\n")),
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
    // What init started, it stops when it fails: the host finalises only a service that opened.
    if (report > 0 && reporter_.start(int(report)) == -1) {
      acceptor_.close();
      ACE_ERROR_RETURN((LM_ERROR, ACE_TEXT("echo service: cannot start its reporter: %p\n"),
                        ACE_TEXT("activate")), -1);
    }
    ACE_DEBUG((LM_INFO, ACE_TEXT("echo service: listening on port %u\n"), unsigned(port)));
    return 0;
  }

  /// Stops listening and closes every open connection: once the service is finalised the host
  /// may unload this library, and no handler of it may stay with the reactor.
  int fini() override
  {
    reporter_.stop();
    acceptor_.stop_pause();
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
    ++accepted_;
  }
  void closed(Echo_Handler* h)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(h);
  }

  void echoed(size_t bytes) { echoed_ += bytes; }

  /// Logs the traffic since the last report, when there was any or a connection is open.
  void report()
  {
    size_t open = 0;
    unsigned long accepted = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open = handlers_.size();
      accepted = accepted_;
      accepted_ = 0;
    }
    unsigned long long const bytes = echoed_.exchange(0);
    if (open != 0 || accepted != 0 || bytes != 0)
      ACE_DEBUG((LM_INFO, ACE_TEXT("echo service: %u connection(s) open, %u accepted and %Q ")
                          ACE_TEXT("byte(s) echoed since the last report\n"),
                 unsigned(open), unsigned(accepted), static_cast<ACE_UINT64>(bytes)));
  }

private:
  Echo_Acceptor acceptor_;
  Echo_Reporter reporter_;
  std::mutex mutex_;  ///< guards the two below
  std::set<Echo_Handler*> handlers_;
  unsigned long accepted_ = 0;
  std::atomic<unsigned long long> echoed_{0};
};

int Echo_Reporter::svc()
{
  // getq waits until the deadline for a message; none is ever sent, so it returns at each
  // deadline (EWOULDBLOCK) until stop() deactivates the queue (ESHUTDOWN).
  for (;;) {
    ACE_Message_Block* mb = 0;
    ACE_Time_Value deadline = ACE_OS::gettimeofday() + interval_;
    if (this->getq(mb, &deadline) != -1)
      mb->release();
    else if (errno == EWOULDBLOCK)
      owner_->report();
    else
      return 0;
  }
}

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
  if (this->peer().send_n(buf, static_cast<size_t>(n)) != n)
    return -1;
  if (owner_ != 0)
    owner_->echoed(static_cast<size_t>(n));
  return 0;
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
