/**
 * @file systemd_handler.h
 *
 * The systemd notifier: readiness once, then watchdog keep-alives from a repeating reactor
 * timer, through systemd's client library loaded at run time. Every failure leaves the host
 * running without notifications; nothing is sent to systemd unless the keep-alives can run.
 */
#ifndef STARTER_SYSTEMD_HANDLER_H
#define STARTER_SYSTEMD_HANDLER_H

#include <atomic>

#include <ace/Event_Handler.h>

class ACE_Reactor;
class ACE_Time_Value;

/**
 * @class Systemd_Handler
 *
 * @brief Tells systemd that the host is ready and keeps its watchdog fed.
 *
 * Meant to be reference counted: the reactor's timer registration keeps a running notifier
 * alive, and the last reference closes it.
 */
class Systemd_Handler : public ACE_Event_Handler
{
public:
  Systemd_Handler();
  /// Closes the handler.
  ~Systemd_Handler() override;

  /**
   * Loads systemd's client library, checks that systemd runs this process with a watchdog,
   * schedules the keep-alive timer on @a r and sends "READY=1" and the first "WATCHDOG=1".
   * Returns 0 when all of that happened; -1 otherwise, after close(). A null @a r is logged
   * and returns -1 without close().
   */
  int open(ACE_Reactor* r);

  /// Cancels the timer and unloads the library. Always 0; repeatable, also before open().
  int close();

  /// Sends @a state (for instance "STOPPING=1\n") while this notifier runs, from any thread.
  /// Returns 0 when it was sent; -1, sending nothing, while it is not running, so that the
  /// host says nothing to systemd beyond what readiness and the watchdog already allow.
  int notify(const char* state) const;

protected:
  /// Sends one keep-alive through @a act, the library's sd_notify, while the library is
  /// loaded. Always 0, so that the timer stays scheduled.
  int handle_timeout(const ACE_Time_Value& now, const void* act) override;

  /// = Internal method that does the actual work.
  /// The whole of open() but the argument check; leaves what it acquired for close().
  int open_i(ACE_Reactor* r);

  /// The loaded client library, from dlopen; null while none is loaded.
  void* handle_;
  /// The keep-alive timer; -1 until one was scheduled.
  long notify_timer_id_;
  /// The library's sd_notify while the keep-alives run; null otherwise.
  std::atomic<int (*)(int, const char*)> running_{nullptr};
};

#endif /* STARTER_SYSTEMD_HANDLER_H */
