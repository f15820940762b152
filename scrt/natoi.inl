// natoi.inl: the body of the strict decimal conversion declared in natoi.h.

#include <cerrno>
#include <limits>

#include <ace/OS_NS_errno.h>

template <class T, class U>
T natoi(U beg, typename natoi_traits<U>::pointer_type end,
        typename natoi_traits<U>::pointer_type* eptr)
{
  static_assert(std::is_integral<T>::value, "natoi converts to integral types only");
  typedef typename std::make_signed<T>::type int_type;
  typedef typename std::make_unsigned<T>::type uint_type;

  if (eptr != 0)
    *eptr = beg;
  if (!natoi_traits<U>::pre_cond(beg)) {
    ACE_OS::last_error(EINVAL);
    return 0;
  }

  uint_type result = 0;
  int_type flag = 1;
  U p = beg;
  U first = beg;
  if (*p == '+') {
    ++p;
    ++first;
  } else if (*p == '-') {
    if (!std::is_signed<T>::value) {
      ACE_OS::last_error(EINVAL);
      return 0;
    }
    flag = -1;
    ++p;
    ++first;
  }

  // One more than the maximum when negative, so that the minimum of a signed type is
  // readable. Checked before each multiplication, so result never exceeds it.
  auto const type_max = static_cast<uint_type>(std::numeric_limits<T>::max()) + (flag != 1 ? 1 : 0);
  auto const q = type_max / 10;
  auto const r = type_max % 10;
  int e = 0;
  for (; p != end; ++p) {
    // Bytes below '0' wrap to large values, so one comparison rejects every non-digit.
    uint_type const v = static_cast<uint_type>(static_cast<unsigned char>(*p) - '0');
    if (v > 9)
      break;
    if (result > q || (result == q && v > r)) {
      e = ERANGE;
      break;
    }
    result = static_cast<uint_type>(result * 10 + v);
  }

  if (eptr != 0)
    *eptr = p;
  if (e != 0) {
    ACE_OS::last_error(e);
    return std::numeric_limits<T>::max();
  }
  if (p == first) {
    ACE_OS::last_error(EINVAL);
    return 0;
  }
  ACE_OS::last_error(0);
  // Negating in the unsigned type keeps the minimum of T (magnitude max + 1) representable.
  return flag == 1 ? static_cast<T>(result) : static_cast<T>(static_cast<uint_type>(0u - result));
}
