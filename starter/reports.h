/**
 * @file reports.h
 *
 * What the host tells about itself at start-up and while it runs: the machine summary, the
 * banner, and the count of open services for systemd. They log, and never stop the host.
 */
#ifndef STARTER_REPORTS_H
#define STARTER_REPORTS_H

#include <string>

/// Returns the kernel's swappiness, or -1 with errno telling why (ENODATA for an empty file).
short get_vm_swappiness();

/// Logs the machine summary; a failed swappiness read is logged and shown as -1.
void log_system_info();

/// Logs the banner: product, the component from COMPONENT when set, version and revision.
void log_product_info();

/// What systemd is told of the open services: "STATUS=N services open\n".
std::string service_status();

#endif /* STARTER_REPORTS_H */
