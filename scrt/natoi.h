/**
 * @file natoi.h
 *
 * Strict decimal text to integer: no white space, base 10, one optional sign, overflow is an
 * error. The result, errno (0, EINVAL, ERANGE) and the stop position are all a caller gets.
 */
#ifndef SCRT_NATOI_H
#define SCRT_NATOI_H

#include <type_traits>

/// The text pointer's type and preconditions, keyed by whether @a U is a pointer at all.
template <class U, bool IS_PTR = std::is_pointer<U>::value>
struct natoi_traits;

/**
 * Converts the decimal text at @a beg to a @a T.
 *
 * Accepts one optional sign ("+", or "-" for a signed @a T) followed by one or more ASCII
 * digits; leading zeros are fine, nothing is skipped, there are no base prefixes. The digit
 * scan stops at the first non-digit or when it reaches @a end (null: no bound; a sign at
 * @a beg is taken before the bound is looked at, so a non-null @a end lies after @a beg).
 * Characters after the digits are no error: the stop position tells where they begin.
 *
 * Returns the value with errno 0 (even when errno was set before the call); 0 with EINVAL for
 * a null or empty text, a "-" before an unsigned type, or no digit after the sign; the
 * maximum of @a T with ERANGE when the magnitude does not fit (below the minimum included).
 * When @a eptr is non-null it receives the stop position: the first character not taken, the
 * digit that would have overflowed, the position after the sign when no digit follows, or
 * @a beg for a null or empty text and for "-" before an unsigned type.
 *
 * @a U is char* or const char*, taken from @a beg alone, so that natoi<T>(text, nullptr,
 * nullptr) works. Reentrant; allocates nothing; depends on no locale.
 */
template <class T, class U>
T natoi(U beg, typename natoi_traits<U>::pointer_type end,
        typename natoi_traits<U>::pointer_type* eptr);

// End of the public part; the machinery follows.

/// The pointer form, the only one: a text to convert is non-null and not empty.
template <class U>
struct natoi_traits<U, true>
{
  typedef U pointer_type;
  static bool pre_cond(U p) { return p != 0 && *p != 0; }
};

#include "scrt/natoi.inl"

#endif /* SCRT_NATOI_H */
