// One control client: the request read, the command carried out, the answer written.
#include "starter/control/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <ace/OS_NS_time.h>
#include <ace/Reactor.h>

#include "scrt/log_macros.h"
#include "starter/control/commands.h"
#include "starter/control/request.h"
#include "starter/control/server.h"
#include "starter/host.h"

void drain_and_close(int fd)
{
  char sink[4096];
  for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  ::close(fd);
}

Control_Connection::Control_Connection(Control_Server* server, ACE_HANDLE fd, const ucred& peer)
  : server_(server), handle_(fd), peer_(peer), state_(READING),
    deadline_(ACE_OS::time(0) + Control_Server::DEADLINE_SECONDS), sent_(0)
{
  reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
}

Control_Connection::~Control_Connection()
{
  close_handle();
}

ACE_HANDLE Control_Connection::get_handle() const
{
  return handle_;
}

void Control_Connection::answer(const nlohmann::json& answer)
{
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == CLOSED)
    return;
  out_ = answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  sent_ = 0;
  deadline_ = ACE_OS::time(0) + Control_Server::DEADLINE_SECONDS;
  state_ = WRITING;
  write_some();
}

void Control_Connection::finish()
{
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == CLOSED)
    return;
  state_ = CLOSED;
  if (reactor() != 0)
    reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK |
                                         ACE_Event_Handler::DONT_CALL);
  close_handle();
  server_->forget(this);
}

void Control_Connection::expire(time_t now)
{
  std::lock_guard<std::recursive_mutex> guard(lock_);
  // A command waiting for the loop to quiesce is not the client's delay.
  if (state_ == CLOSED || state_ == RUNNING || now < deadline_)
    return;
  SCRT_LOG(0, (LM_WARNING, "Control client uid %d (pid %d) %s within %d s: closed\n",
               static_cast<int>(peer_.uid), static_cast<int>(peer_.pid),
               state_ == READING ? "sent no request" : "did not read its answer",
               Control_Server::DEADLINE_SECONDS));
  finish();
}

int Control_Connection::handle_input(ACE_HANDLE)
{
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ != READING)
    return 0;
  bool eof = false;
  for (;;) {
    char buf[CONTROL_REQUEST_MAX + 1];
    size_t const room = CONTROL_REQUEST_MAX + 1 - in_.size();
    ssize_t const n = ::recv(handle_, buf, room, 0);
    if (n > 0) {
      // One line only: what follows its end is not read.
      const char* const nl = static_cast<const char*>(std::memchr(buf, '\n', static_cast<size_t>(n)));
      in_.append(buf, static_cast<size_t>(n));
      if (nl != 0 || in_.size() > CONTROL_REQUEST_MAX)
        break;
      continue;
    }
    if (n == 0) {
      eof = true;
      break;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return 0;
    finish();
    return 0;
  }
  if (eof && in_.empty()) {
    finish();
    return 0;
  }
  serve(eof);
  return 0;
}

int Control_Connection::handle_output(ACE_HANDLE)
{
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (state_ == WRITING)
    write_some();
  return 0;
}

void Control_Connection::serve(bool eof)
{
  // A request that has more than its line stops at the line's end: the parser sees what the
  // client sent up to it, or the 4097 bytes that show it is too long.
  size_t const nl = in_.find('\n');
  size_t const size = nl != std::string::npos && !eof ? nl + 1 : in_.size();
  Control_Request r;
  std::string why;
  if (parse_control_request(in_.data(), std::min(size, in_.size()), r, why) != 0) {
    SCRT_LOG(0, (LM_WARNING, "Malformed control request from uid %d (pid %d): %C\n",
                 static_cast<int>(peer_.uid), static_cast<int>(peer_.pid), why.c_str()));
    answer(control_refusal(why));
    return;
  }
  if (!control_runs_quiesced(r)) {
    answer(run_control_command(r, server_->host(), static_cast<long>(peer_.uid)));
    return;
  }
  // Nothing more is read; the answer comes when the job has run.
  state_ = RUNNING;
  reactor()->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
  ACE_Event_Handler_var self(this);
  add_reference();
  long const uid = static_cast<long>(peer_.uid);
  Host& host = server_->host();
  host.run_quiesced([self, r, uid, &host]() {
    Control_Connection* const c = static_cast<Control_Connection*>(self.handler());
    c->answer(run_control_command(r, host, uid));
  });
}

void Control_Connection::write_some()
{
  while (sent_ < out_.size()) {
    ssize_t const n = ::send(handle_, out_.data() + sent_, out_.size() - sent_, MSG_NOSIGNAL);
    if (n > 0) {
      sent_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Registered for nothing but writing, so a client that keeps sending cannot spin the
      // loop.
      ACE_Reactor* const r = reactor();
      r->remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
      reactor(r);
      if (r->register_handler(this, ACE_Event_Handler::WRITE_MASK) == 0)
        return;
    }
    break;
  }
  finish();
}

void Control_Connection::close_handle()
{
  if (handle_ != ACE_INVALID_HANDLE) {
    drain_and_close(handle_);
    handle_ = ACE_INVALID_HANDLE;
  }
}
