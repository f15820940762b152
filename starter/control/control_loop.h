/**
 * @file control_loop.h
 *
 * The control socket's own loop: a reactor of the dev_poll kind, which takes any descriptor
 * number (the select kind stops at 1,024), run by a thread of its own, so that the control
 * socket answers whatever holds the services' loop and however many descriptors they hold.
 */
#ifndef STARTER_CONTROL_CONTROL_LOOP_H
#define STARTER_CONTROL_CONTROL_LOOP_H

#include <signal.h>

#include <memory>
#include <string>
#include <thread>

class ACE_Reactor;

/**
 * @class Control_Loop
 *
 * @brief A reactor and the thread that runs its loop, from start() to stop().
 */
class Control_Loop
{
public:
  Control_Loop() = default;
  ~Control_Loop();
  Control_Loop(const Control_Loop&) = delete;
  Control_Loop& operator=(const Control_Loop&) = delete;

  /// Makes the reactor; null with @a why when it cannot be made or initialised.
  ACE_Reactor* open(std::string& why);

  /// Runs the reactor's loop on a thread of its own, which blocks @a blocked (the signals the
  /// loop threads leave to the main one). False with @a why when the thread cannot start.
  bool start(const sigset_t& blocked, std::string& why);

  /// Ends the loop and waits for its thread. Repeatable.
  void stop();

private:
  std::unique_ptr<ACE_Reactor> reactor_;
  std::thread thread_;
};

#endif /* STARTER_CONTROL_CONTROL_LOOP_H */
