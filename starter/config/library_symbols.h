/**
 * @file library_symbols.h
 *
 * What a loaded library's dynamic symbols are, for the configuration check's advice: which C++
 * function a plain name was mangled into, and what a mangled name reads as. Reads only; a
 * question that cannot be answered gets the answer that gives no advice.
 */
#ifndef STARTER_CONFIG_LIBRARY_SYMBOLS_H
#define STARTER_CONFIG_LIBRARY_SYMBOLS_H

#include <string>

/// The symbol in the dynamic symbol table of the library loaded as @a handle (a dlopen()
/// handle) that is a C++ function called @a name, in any namespace and with any parameters,
/// demangled; empty when there is none or the table cannot be read.
std::string mangled_function_named(void* handle, const std::string& name);

/// @a symbol demangled when it is a C++ name, else as it is.
std::string demangled(const std::string& symbol);

#endif /* STARTER_CONFIG_LIBRARY_SYMBOLS_H */
