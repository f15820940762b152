/**
 * @file key_value.h
 *
 * Name-to-value tables as plain arrays that end with a null key, and their lookup. A lookup
 * never fails: a name that is not there yields the terminating entry.
 */
#ifndef SCRT_KEY_VALUE_H
#define SCRT_KEY_VALUE_H

#include <ace/OS_NS_string.h>

/**
 * @class Key_Value_T
 *
 * @brief One entry of a table that ends with an entry whose key is null.
 */
template <class V>
struct Key_Value_T
{
  /// NUL-terminated name; null marks the end of the table.
  const char* key;
  V value;
};

/**
 * Returns the first entry of @a table whose key equals @a key byte for byte (case-sensitive),
 * or the terminating entry when none does, a null @a key included. Never returns null and
 * never reads past the terminating entry.
 */
template <class KV>
KV* get_key_value_entry(KV* table, const char* key)
{
  KV* e = table;
  for (; e->key != 0; ++e)
    if (key != 0 && ACE_OS::strcmp(e->key, key) == 0)
      break;
  return e;
}

#endif /* SCRT_KEY_VALUE_H */
