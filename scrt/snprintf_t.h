/**
 * @file snprintf_t.h
 *
 * A formatted text with room for N characters inside the object; only a longer text moves it
 * to the heap. Formatting never throws: a failure shows as a negative length (or 0 after a
 * failed growth), with c_str() holding what the last attempt wrote.
 */
#ifndef SCRT_SNPRINTF_T_H
#define SCRT_SNPRINTF_T_H

#include <cstdarg>
#include <cstddef>

/**
 * @class snprintf_t
 *
 * @brief printf-style text in an in-place buffer of N characters, growing onto the heap.
 */
template <size_t N, class T = char>
class snprintf_t
{
public:
  snprintf_t();
  /// Formats @a fmt at once; see vset() for the outcome, which is visible through length().
  explicit snprintf_t(const T* fmt, ...);
  ~snprintf_t();

  snprintf_t(const snprintf_t&) = delete;
  snprintf_t& operator=(const snprintf_t&) = delete;

  /// The text: the heap block once the text has moved there, else the in-place buffer.
  const T* c_str() const;
  T* data();
  /// Length of the text last formatted; negative after a formatter failure, 0 after a failed
  /// growth.
  int length() const;

  /// Formats into the object. Returns the text's length, the formatter's negative result, or
  /// -1 with errno ENOMEM when the heap block could not grow.
  int set(const T* fmt, ...);
  int vset(const T* fmt, va_list args);

protected:
  /// In-place storage, used while ptr_ is null.
  T buf_[N];
  /// Length of the text last formatted, terminator excluded.
  int len_;
  /// Heap storage once a text did not fit; owned, from ACE_OS::realloc.
  T* ptr_;
  /// Capacity of ptr_ in characters, terminator included.
  size_t size_;
};

#include "scrt/snprintf_t.inl"

#endif /* SCRT_SNPRINTF_T_H */
