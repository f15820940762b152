// Definitions of snprintf_t, declared in snprintf_t.h.
#include <ace/OS_Memory.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>

namespace scrt_detail {

/// Bound on formatting passes, so a formatter that keeps guessing cannot double the block
/// until memory runs out.
enum { SNPRINTF_T_MAX_ATTEMPTS = 32 };

}  // namespace scrt_detail

template <size_t N, class T>
snprintf_t<N, T>::snprintf_t() : len_(0), ptr_(0), size_(0)
{
  buf_[0] = 0;
}

template <size_t N, class T>
snprintf_t<N, T>::snprintf_t(const T* fmt, ...) : len_(0), ptr_(0), size_(0)
{
  buf_[0] = 0;
  va_list args;
  va_start(args, fmt);
  (void)vset(fmt, args);
  va_end(args);
}

template <size_t N, class T>
snprintf_t<N, T>::~snprintf_t()
{
  if (ptr_ != 0)
    ACE_OS::free(ptr_);
}

template <size_t N, class T>
const T* snprintf_t<N, T>::c_str() const
{
  return ptr_ != 0 ? ptr_ : buf_;
}

template <size_t N, class T>
T* snprintf_t<N, T>::data()
{
  return ptr_ != 0 ? ptr_ : buf_;
}

template <size_t N, class T>
int snprintf_t<N, T>::length() const
{
  return len_;
}

template <size_t N, class T>
int snprintf_t<N, T>::set(const T* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  int const rc = vset(fmt, args);
  va_end(args);
  return rc;
}

template <size_t N, class T>
int snprintf_t<N, T>::vset(const T* fmt, va_list args)
{
  T* target = ptr_ != 0 ? ptr_ : buf_;
  size_t capacity = ptr_ != 0 ? size_ : N;
  for (int attempt = 0; attempt < scrt_detail::SNPRINTF_T_MAX_ATTEMPTS; ++attempt) {
    va_list copy;
    va_copy(copy, args);
    len_ = ACE_OS::vsnprintf(target, capacity, fmt, copy);
    va_end(copy);
    if (len_ < static_cast<int>(capacity))
      return len_;
    // "capacity + 1" is some formatters' way of saying "more"; take it as a guess.
    if (len_ == static_cast<int>(capacity) + 1)
      len_ *= 2;
    void* const p = ACE_OS::realloc(ptr_, (static_cast<size_t>(len_) + 1) * sizeof(T));
    if (p == 0) {
      len_ = 0;
      ACE_OS::last_error(ENOMEM);
      return -1;
    }
    ptr_ = static_cast<T*>(p);
    size_ = static_cast<size_t>(len_) + 1;
    target = ptr_;
    capacity = size_;
  }
  len_ = -1;
  return -1;
}
