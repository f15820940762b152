// Standard-library instances the host's executable exports: services built to bind to the
// host's copies of std::max<long>, std::max<unsigned long>, std::swap<unsigned long>,
// std::swap<std::less<std::string>> and std::less<std::string>::operator() find them in its
// dynamic symbol table (ENABLE_EXPORTS) rather than failing to load.
//
// They are the standard's own templates, instantiated by taking their addresses in a table
// with external linkage: the compiler must then emit each out of line, under the same symbol a
// specialisation would have, and the linker keeps it, as this file is linked into the
// executable itself. Specialising the templates, or instantiating them explicitly, for types
// that are not the program's own is not allowed by the standard.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>

/// The table's type: one pointer per exported instance.
struct Exported_Std
{
  const long& (*max_long)(const long&, const long&);
  const unsigned long& (*max_ulong)(const unsigned long&, const unsigned long&);
  void (*swap_ulong)(unsigned long&, unsigned long&);
  void (*swap_less_string)(std::less<std::string>&, std::less<std::string>&);
  bool (std::less<std::string>::*less_string)(const std::string&, const std::string&) const;
};

/// Referred to by nothing; its external linkage keeps it, and so the instances, in the
/// executable.
extern const Exported_Std starter_exported_std;
const Exported_Std starter_exported_std = {
  &std::max<long>,
  &std::max<unsigned long>,
  &std::swap<unsigned long>,
  &std::swap<std::less<std::string>>,
  &std::less<std::string>::operator(),
};
