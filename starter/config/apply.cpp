// The Service Configurator applying a checked configuration, at start-up and on each reload.
#include "starter/config/apply.h"

#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "starter/config/grammar.h"

/// Has the Configurator process @a files in order, each as its text in @a texts.
static int process_files(const std::vector<std::string>& files, const Conf_Texts& texts)
{
  int errors = 0;
  for (const std::string& f : files) {
    Conf_Texts::const_iterator const t = texts.find(f);
    // A file the check could not read stops the Configurator, the directives after it too.
    if (t == texts.end())
      return -1;
    // A text with a NUL in it is left to the Configurator's own reading of the file.
    int const r = t->second.find('\0') == std::string::npos
                      ? process_service_config_text(t->second)
                      : ACE_Service_Config::process_file(f.c_str());
    if (r < 0)
      return -1;
    errors += r;
  }
  return errors;
}

int process_service_config_text(const std::string& text)
{
  // Each piece costs the Configurator a parameter block and a 16 KB buffer, and it scans a
  // piece of 16 KB, taken in 4 KB at a time, about two and a half times over.
  static const size_t piece_size = 16384;
  int errors = 0;
  for (const Text_Span& p : directive_pieces(text, piece_size)) {
    std::string const piece(text, p.first, p.second - p.first);
    int const r = ACE_Service_Config::process_directive(piece.c_str());
    if (r < 0)
      return r;
    errors += r;
  }
  return errors;
}

int open_service_config_vector(const Checked_Config& config)
{
  // The options alone: the files and the directives are carried out below, in the
  // Configurator's own order, and the default file is the check's to decide.
  std::vector<std::string> options = config.parts.options;
  std::vector<char*> p = pointer_vector(options);
  int errors = ACE_Service_Config::open(static_cast<int>(p.size() - 1), p.data(),
                                        ACE_LOCALHOST ":20012", false, true, true);
  if (errors < 0)
    return errors;
  int const r = process_files(config.parts.files, config.texts);
  if (r < 0)
    return -1;
  errors += r;
  for (const std::string& d : config.parts.directives) {
    int const rd = ACE_Service_Config::process_directive(d.c_str());
    errors += rd < 0 ? 1 : rd;
  }
  return errors;
}

int process_service_config_files(const Checked_Config& config)
{
  return process_files(config.parts.files, config.texts);
}

namespace {

/// The repository's slots, read in order. Its iterator looks each slot up by number in a map
/// it searches from the start, so that a count through it costs n squared: 5.5 million
/// instructions at 1,000 services. The slots are protected; a member pointer formed in a
/// class derived from the repository reaches them (reading only).
class Repository_Slots : public ACE_Service_Repository
{
public:
  template <class F>
  static void each(ACE_Service_Repository& r, F f)
  {
    ACE_MT(ACE_GUARD(ACE_SYNCH_RECURSIVE_MUTEX, guard, r.*(&Repository_Slots::lock_)));
    const array_type& slots = r.*(&Repository_Slots::service_array_);
    for (array_type::const_iterator i = slots.begin(); i != slots.end(); ++i)
      f(i->second);
  }
};

}  // namespace

int open_service_count()
{
  int open_services = 0;
  Repository_Slots::each(*ACE_Service_Repository::instance(), [&](const ACE_Service_Type* t) {
    if (t != 0 && t->active())
      ++open_services;
  });
  return open_services;
}

void close_services()
{
  ACE_Service_Config::fini_svcs();
  ACE_Service_Config::close();
}
