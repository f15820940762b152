/**
 * @file sysconf_helper.h
 *
 * Machine figures taken from sysconf for the host's start-up report. Nothing here fails
 * loudly: a figure the system will not give reads as 0.
 */
#ifndef SCRT_SYSCONF_HELPER_H
#define SCRT_SYSCONF_HELPER_H

/// Physical memory in bytes (pages times page size, in 64 bits); 0 when sysconf cannot tell.
unsigned long long get_system_memory();

#endif /* SCRT_SYSCONF_HELPER_H */
