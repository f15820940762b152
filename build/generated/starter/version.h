// Build-time identity of the host, written by the build: do not edit.
#ifndef STARTER_VERSION_H
#define STARTER_VERSION_H

#define STARTER_PACKAGE_VERSION "1.0.00001-1"
#define STARTER_REVISION "0000000"

#endif /* STARTER_VERSION_H */
