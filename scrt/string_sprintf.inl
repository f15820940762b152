// Definitions of the std::string formatters declared in string_sprintf.h.
#include <ace/OS_NS_stdio.h>

namespace scrt_detail {

/// A formatter that keeps answering "capacity + 1" is not converging; give up after this many
/// attempts and fail as a formatter failure does rather than grow without end.
enum { SPRINTF_MAX_ATTEMPTS = 32 };

}  // namespace scrt_detail

template <class T>
int string_vsprintf(std::basic_string<T>& s, const T* fmt, va_list args, bool append)
{
  typename std::basic_string<T>::size_type const pos = append ? s.size() : 0;
  int len = -1;
  for (int attempt = 0; attempt < scrt_detail::SPRINTF_MAX_ATTEMPTS; ++attempt) {
    int size = static_cast<int>(s.size() - pos);
    if (size <= 127) {
      size = 128;
      s.resize(pos + 128);
    }
    va_list copy;
    va_copy(copy, args);
    len = ACE_OS::vsnprintf(&s[pos], static_cast<size_t>(size), fmt, copy);
    va_end(copy);
    if (len < 0)
      break;
    if (len < size) {
      s.resize(pos + static_cast<size_t>(len));
      return static_cast<int>(s.size());
    }
    // The text was cut. "size + 1" is how some formatters say "more", not an exact length.
    if (len == size + 1)
      len += 128;
    s.resize(pos + static_cast<size_t>(len) + 1);
    len = -1;
  }
  if (pos != 0)
    s.resize(pos);
  else
    std::basic_string<T>().swap(s);
  return len;
}

template <class T>
int string_sprintf(std::basic_string<T>& s, const T* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  int const rc = string_vsprintf(s, fmt, args, false);
  va_end(args);
  return rc;
}
