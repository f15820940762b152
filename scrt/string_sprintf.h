/**
 * @file string_sprintf.h
 *
 * printf-style formatting into a caller's std::string, replacing its content or appending to
 * it. The room is found by trying and retrying, reusing whatever room the string already has.
 * A formatter failure returns its negative result; nothing throws of its own accord.
 */
#ifndef SCRT_STRING_SPRINTF_H
#define SCRT_STRING_SPRINTF_H

#include <cstdarg>
#include <string>

/// Formats @a fmt into @a s, replacing its content. Returns the new length of @a s, or the
/// formatter's negative result, after which @a s is empty and its heap storage released.
template <class T>
int string_sprintf(std::basic_string<T>& s, const T* fmt, ...);

/// Formats @a fmt with @a args into @a s, after its content when @a append is true, else in
/// place of it. Returns the new total length of @a s, or a negative result on failure; then
/// the content before the write position survives and the partial text is gone. @a args
/// itself is not consumed.
template <class T>
int string_vsprintf(std::basic_string<T>& s, const T* fmt, va_list args, bool append);

#include "scrt/string_sprintf.inl"

#endif /* SCRT_STRING_SPRINTF_H */
