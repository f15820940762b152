// Every library the host process opens is bound at once: a symbol that nothing defines fails
// the open, with its name, instead of ending the whole host when the code that needs it first
// runs. The Service Configurator opens service libraries with a mode fixed inside ACE
// (RTLD_LAZY), which no interface of ACE lets the host change; so the host, whose exported
// symbols come first in the lookup, provides dlopen itself and hands the call on.
// Each library's symbols stay its own (RTLD_LOCAL, where ACE asks for RTLD_GLOBAL): two
// services built from copies of one source keep the same class names, and with global binding
// the second would run the first one's code. A library that needs another's symbols names it
// as a dependency (linked with -z defs, it must).
#include <dlfcn.h>

extern "C" void* dlopen(const char* file, int mode)
{
  typedef void* (*Open)(const char*, int);
  static Open const next = reinterpret_cast<Open>(::dlsym(RTLD_NEXT, "dlopen"));
  if (next == 0)
    return 0;
  return next(file, (mode & ~(RTLD_LAZY | RTLD_GLOBAL)) | RTLD_NOW | RTLD_LOCAL);
}
