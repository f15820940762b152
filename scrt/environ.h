/**
 * @file environ.h
 *
 * Environment variables read and edited under one process-wide reader/writer lock, so that a
 * reader never sees a value torn by a concurrent edit. Failures are results (an empty string,
 * false) with errno as the platform or the lock left it; a null or empty name is logged.
 */
#ifndef SCRT_ENVIRON_H
#define SCRT_ENVIRON_H

#include <string>

/**
 * Returns a copy of the value of @a name, taken under the read lock: empty when the variable
 * is unset or empty, when @a name is null or empty (logged at LM_EMERGENCY), or when the lock
 * cannot be taken.
 */
std::string get_env_r(const char* name);

/**
 * Sets @a name to @a val, overwriting; a null @a val removes the variable (and succeeds when
 * it was not set), an empty one sets it empty. Returns true on success; false for a null or
 * empty @a name (logged), a lock that cannot be taken, or a refusal by the platform (errno as
 * setenv/unsetenv left it, e.g. EINVAL for a name holding '=').
 */
bool set_env(const char* name, const char* val);

/**
 * Appends @a val to the value of @a name behind a single colon, under one exclusive hold of
 * the lock, so concurrent edits all take effect. With the variable unset or empty the value
 * becomes @a val itself (a null @a val then removes it). A null @a val on a non-empty value is
 * refused: false with errno EINVAL, the variable unchanged. When the combined value cannot be
 * built whole (errno ENOMEM, or the formatter's) the result is false and the variable keeps its
 * old value. Otherwise as set_env().
 */
bool append_env(const char* name, const char* val);

/// As append_env(), with @a val put in front: "val:old".
bool prepend_env(const char* name, const char* val);

#endif /* SCRT_ENVIRON_H */
