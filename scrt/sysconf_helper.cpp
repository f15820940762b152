/**
 * @file sysconf_helper.cpp
 *
 * The memory size reported at start-up.
 */
#include "scrt/sysconf_helper.h"

#include <unistd.h>

unsigned long long get_system_memory()
{
  long const pages = ::sysconf(_SC_PHYS_PAGES);
  long const page_size = ::sysconf(_SC_PAGESIZE);
  // A -1 from either call would otherwise turn into an absurd size.
  if (pages < 0 || page_size < 0)
    return 0;
  return static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
}
