// natoi.inl: the body of the strict decimal conversion declared in natoi.h.

#include <cerrno>
#include <limits>

#include <ace/OS_NS_errno.h>

namespace scrt_detail {

/// The digit value of @a c, or a value above 9 for any other byte: bytes below '0' wrap to
/// large values, so one comparison rejects every non-digit.
inline unsigned natoi_digit(char c)
{
  return static_cast<unsigned>(static_cast<unsigned char>(c)) - static_cast<unsigned>('0');
}

/// The conversion of the digits from @a first on with a check before each multiplication, so
/// that the magnitude never exceeds @a type_max and the stop lands on the digit that would
/// overflow. Kept out of line: only long texts and those out of range come here.
template <class T, class U, class V>
__attribute__((noinline)) T natoi_checked(U first, U end, U* eptr, V type_max, bool negative)
{
  V const q = type_max / 10;
  V const r = type_max % 10;
  V result = 0;
  U p = first;
  for (; p != end; ++p) {
    unsigned const v = natoi_digit(*p);
    if (v > 9)
      break;
    if (result > q || (result == q && v > r)) {
      if (eptr != 0)
        *eptr = p;
      ACE_OS::last_error(ERANGE);
      return std::numeric_limits<T>::max();
    }
    result = static_cast<V>(result * 10 + v);
  }
  if (eptr != 0)
    *eptr = p;
  ACE_OS::last_error(0);
  return negative ? static_cast<T>(static_cast<V>(0u - result)) : static_cast<T>(result);
}

}  // namespace scrt_detail

template <class T, class U>
inline T natoi(U beg, typename natoi_traits<U>::pointer_type end,
               typename natoi_traits<U>::pointer_type* eptr)
{
  static_assert(std::is_integral<T>::value, "natoi converts to integral types only");
  typedef typename std::make_unsigned<T>::type uint_type;
  using scrt_detail::natoi_digit;
  // errno's address is taken once and unconditionally, so that a caller converting in a loop
  // looks it up once (the lookup is a pure function) rather than once per text.
  int& error = errno;

  if (eptr != 0)
    *eptr = beg;
  if (!natoi_traits<U>::pre_cond(beg)) {
    error = EINVAL;
    return 0;
  }

  bool negative = false;
  U p = beg;
  if (*p == '+') {
    ++p;
  } else if (*p == '-') {
    if (!std::is_signed<T>::value) {
      error = EINVAL;
      return 0;
    }
    negative = true;
    ++p;
  }
  U const first = p;

  // One more than the maximum when negative, so that the minimum of a signed type is readable.
  uint_type const type_max =
      static_cast<uint_type>(static_cast<uint_type>(std::numeric_limits<T>::max()) + negative);

  // Up to digits10 digits cannot overflow the unsigned type, so the common case scans without
  // a check per digit and compares with the bound once.
  int const safe_digits = std::numeric_limits<uint_type>::digits10;
  uint_type result = 0;
  for (int n = 0; p != end; ++p, ++n) {
    unsigned const v = natoi_digit(*p);
    if (v > 9)
      break;
    if (n == safe_digits)
      return scrt_detail::natoi_checked<T>(first, end, eptr, type_max, negative);
    result = static_cast<uint_type>(result * 10 + v);
  }
  if (result > type_max)
    return scrt_detail::natoi_checked<T>(first, end, eptr, type_max, negative);

  if (eptr != 0)
    *eptr = p;
  if (p == first) {
    error = EINVAL;
    return 0;
  }
  error = 0;
  // Negating in the unsigned type keeps the minimum of T (magnitude max + 1) representable.
  return negative ? static_cast<T>(static_cast<uint_type>(0u - result)) : static_cast<T>(result);
}
