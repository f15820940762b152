/**
 * @file env_expansion.h
 *
 * What ACE's environment substitution (ACE_OS::strenvdup, and ACE's argument vectors that call
 * it for each element) can take safely. It copies the name after the first '$' into a stack
 * buffer of ACE_DEFAULT_ARGV_BUFSIZ characters without a bound; callers ask here first.
 */
#ifndef SCRT_ENV_EXPANSION_H
#define SCRT_ENV_EXPANSION_H

#include <ace/Default_Constants.h>
#include <ace/OS_NS_string.h>

/// Whether ACE_OS::strenvdup can take @a text (not null): true when it holds no '$', or when
/// the run after its first '$' up to the next '/' is shorter than ACE's buffer. '/' always ends
/// a name, and a run that long is no usable path component or value anyway.
inline bool fits_env_expansion(const char* text)
{
  const char* const dollar = ACE_OS::strchr(text, '$');
  return dollar == 0 || ACE_OS::strcspn(dollar + 1, "/") < ACE_DEFAULT_ARGV_BUFSIZ;
}

#endif /* SCRT_ENV_EXPANSION_H */
