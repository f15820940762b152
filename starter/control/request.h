/**
 * @file request.h
 *
 * The control socket's request language: one line of at most 4096 bytes, its end of line
 * included, holding a command and, for the commands that act on one service, its name. Reading
 * allocates only the name and never fails but by returning -1 with a reason for the caller to
 * send back and log.
 */
#ifndef STARTER_CONTROL_REQUEST_H
#define STARTER_CONTROL_REQUEST_H

#include <cstddef>
#include <string>

#include "starter/control/command_words.h"

/// The longest request, its end of line included.
size_t const CONTROL_REQUEST_MAX = 4096;

/// What a control client asks for.
struct Control_Request
{
  const Control_Command* command = CONTROL_COMMANDS;  ///< a row of the table; never null
  std::string name;  ///< the service, for a command that takes one; else empty
};

/**
 * Reads the request in @a data / @a size: everything a client sent up to and including its
 * first "\n", or all it sent before closing when no "\n" came. Words are printable ASCII
 * separated by spaces or tabs; a "\r" may end the line. The commands and whether each takes a
 * service name are those of CONTROL_COMMANDS (command_words.h). Returns 0 and
 * fills @a r; or -1 with @a why saying what is wrong (empty, too long, bytes after the line, a
 * byte that is no printable ASCII, an unknown command, a missing or extra argument), @a r left
 * as it was.
 */
int parse_control_request(const char* data, size_t size, Control_Request& r, std::string& why);

#endif /* STARTER_CONTROL_REQUEST_H */
