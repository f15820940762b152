// The Service Configurator applying a checked configuration, at start-up and on each reload.
#include "starter/config/apply.h"

#include <ace/Service_Config.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

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
                      ? ACE_Service_Config::process_directive(t->second.c_str())
                      : ACE_Service_Config::process_file(f.c_str());
    if (r < 0)
      return -1;
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

bool apply_directive(const Conf_Entry& e, const Conf_Texts& texts)
{
  Conf_Texts::const_iterator const t = texts.find(e.where);
  if (t == texts.end() || e.end > t->second.size())
    return false;
  // Blank lines ahead, so that what the Configurator logs of it has the file's line number.
  std::string text(static_cast<size_t>(e.line > 0 ? e.line - 1 : 0), '\n');
  text.append(t->second, e.begin, e.end - e.begin);
  return ACE_Service_Config::process_directive(text.c_str()) == 0;
}

bool remove_service(const std::string& name)
{
  return ACE_Service_Config::remove(name.c_str()) == 0;
}

int open_service_count()
{
  int open_services = 0;
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    if (t->active())
      ++open_services;
  return open_services;
}

void close_services()
{
  ACE_Service_Config::fini_svcs();
  ACE_Service_Config::close();
}
