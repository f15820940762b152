/**
 * @file log_macros.h
 *
 * The logging idiom shared by the host and the library: conditional_set with the caller's file,
 * line, an operation status and the saved errno, then log. Macros, so that %N:%l name the caller.
 * errno survives every macro here.
 */
#ifndef SCRT_LOG_MACROS_H
#define SCRT_LOG_MACROS_H

#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>

/// Logs X, a parenthesised (priority, format, ...) list, with operation status STATUS.
#define SCRT_LOG(STATUS, X)                                                  \
  do {                                                                       \
    int const scrt_saved_errno_ = ACE_OS::last_error();                      \
    ACE_Log_Msg* const scrt_log_ = ACE_Log_Msg::instance();                  \
    scrt_log_->conditional_set(__FILE__, __LINE__, (STATUS), scrt_saved_errno_); \
    scrt_log_->log X;                                                        \
    ACE_OS::last_error(scrt_saved_errno_);                                   \
  } while (0)

/// Argument check for a required pointer: logs at LM_EMERGENCY naming NAME and returns RET.
#define SCRT_CHECK_NULL_RETURN(PTR, NAME, RET)                                          \
  do {                                                                                  \
    if ((PTR) == 0) {                                                                   \
      SCRT_LOG(-1, (LM_EMERGENCY, "Unexpected error in %N:%l, %s is NULL:\n%?\n", NAME)); \
      return RET;                                                                       \
    }                                                                                   \
  } while (0)

/// The same for a required non-empty string.
#define SCRT_CHECK_EMPTY_RETURN(STR, NAME, RET)                                           \
  do {                                                                                    \
    if ((STR) == 0 || *(STR) == 0) {                                                      \
      SCRT_LOG(-1, (LM_EMERGENCY, "Unexpected error in %N:%l, %s is NULL or \"\":\n%?\n", \
                    NAME));                                                               \
      return RET;                                                                         \
    }                                                                                     \
  } while (0)

/// The same, for a function or constructor that returns nothing.
#define SCRT_CHECK_EMPTY_RETURN_VOID(STR, NAME)                                           \
  do {                                                                                    \
    if ((STR) == 0 || *(STR) == 0) {                                                      \
      SCRT_LOG(-1, (LM_EMERGENCY, "Unexpected error in %N:%l, %s is NULL or \"\":\n%?\n", \
                    NAME));                                                               \
      return;                                                                             \
    }                                                                                     \
  } while (0)

#endif /* SCRT_LOG_MACROS_H */
