// A loaded library's dynamic symbols, read from the library file's dynamic symbol table for
// the names the dynamic linker does not look up.
#include "starter/config/library_symbols.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include <ace/Mem_Map.h>

/// Whether the symbol-table entry @a sym is a function's (the type field is the same in both
/// ELF classes).
static bool is_function(const ElfW(Sym)& sym)
{
  return ELF64_ST_TYPE(sym.st_info) == STT_FUNC || ELF64_ST_TYPE(sym.st_info) == STT_GNU_IFUNC;
}

std::string demangled(const std::string& symbol)
{
  int status = -1;
  char* const d = abi::__cxa_demangle(symbol.c_str(), 0, 0, &status);
  std::string const out = status == 0 && d != 0 ? d : symbol;
  std::free(d);
  return out;
}

/// The function name in the demangled @a text, "ns::f(int)" giving "f"; empty for what is no
/// function.
static std::string function_name(const std::string& text)
{
  size_t const open = text.find('(');
  if (open == std::string::npos)
    return std::string();
  size_t const colons = text.rfind("::", open);
  size_t const from = colons == std::string::npos ? 0 : colons + 2;
  return text.substr(from, open - from);
}

std::string mangled_function_named(void* handle, const std::string& name)
{
  link_map* map = 0;
  if (handle == 0 || ::dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == 0 ||
      map->l_name == 0 || *map->l_name == 0)
    return std::string();
  // The file as mapped for reading: the loaded image need not keep the section headers.
  ACE_Mem_Map file;
  if (file.map(map->l_name, static_cast<size_t>(-1), O_RDONLY, ACE_DEFAULT_FILE_PERMS, PROT_READ,
               MAP_PRIVATE) == -1)
    return std::string();
  const char* const base = static_cast<const char*>(file.addr());
  size_t const size = file.size();
  const ElfW(Ehdr)* const eh = reinterpret_cast<const ElfW(Ehdr)*>(base);
  if (size < sizeof *eh || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
      eh->e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      eh->e_shentsize != sizeof(ElfW(Shdr)) || eh->e_shoff > size ||
      eh->e_shnum > (size - eh->e_shoff) / sizeof(ElfW(Shdr)))
    return std::string();
  const ElfW(Shdr)* const sh = reinterpret_cast<const ElfW(Shdr)*>(base + eh->e_shoff);
  for (unsigned i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM || sh[i].sh_link >= eh->e_shnum)
      continue;
    const ElfW(Shdr)& strings = sh[sh[i].sh_link];
    if (sh[i].sh_offset > size || sh[i].sh_size > size - sh[i].sh_offset ||
        strings.sh_offset > size || strings.sh_size > size - strings.sh_offset ||
        strings.sh_size == 0 || base[strings.sh_offset + strings.sh_size - 1] != 0)
      return std::string();
    const ElfW(Sym)* const syms = reinterpret_cast<const ElfW(Sym)*>(base + sh[i].sh_offset);
    for (size_t s = 0; s < sh[i].sh_size / sizeof(ElfW(Sym)); ++s) {
      if (syms[s].st_shndx == SHN_UNDEF || syms[s].st_name >= strings.sh_size ||
          !is_function(syms[s]))
        continue;
      const char* const n = base + strings.sh_offset + syms[s].st_name;
      if (std::strncmp(n, "_Z", 2) != 0 || std::strstr(n, name.c_str()) == 0)
        continue;
      std::string const text = demangled(n);
      if (function_name(text) == name)
        return text;
    }
  }
  return std::string();
}
