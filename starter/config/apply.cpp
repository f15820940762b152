// The Service Configurator applying a checked configuration, at start-up and on each reload.
#include "starter/config/apply.h"

#include <exception>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>
#include <ace/Service_Config.h>
#include <ace/Service_Object.h>
#include <ace/Service_Repository.h>
#include <ace/Service_Types.h>

#include "scrt/log_macros.h"

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

int open_service_count()
{
  int open_services = 0;
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    if (t->active())
      ++open_services;
  return open_services;
}

/// Logs the exception in flight, which @a what (a service's fini, say) threw.
static void log_escaped_exception(const char* what)
{
  try {
    throw;
  } catch (const std::exception& e) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception: %C\n", what, e.what()));
  } catch (...) {
    SCRT_LOG(-1, (LM_ERROR, "%C threw an exception of unknown type\n", what));
  }
}

int close_services()
{
  std::vector<ACE_Service_Type*> services;
  ACE_Service_Repository_Iterator it(*ACE_Service_Repository::instance(), false);
  for (const ACE_Service_Type* t = 0; it.next(t) != 0; it.advance())
    services.push_back(const_cast<ACE_Service_Type*>(t));
  int threw = 0;
  for (auto s = services.rbegin(); s != services.rend(); ++s) {
    if ((*s)->type() == 0 || (*s)->fini_called())
      continue;
    try {
      (void)(*s)->fini();
    } catch (...) {
      std::string const what = std::string("The fini of service '") + (*s)->name() + "'";
      log_escaped_exception(what.c_str());
      ++threw;
    }
  }
  try {
    ACE_Service_Config::fini_svcs();
    ACE_Service_Config::close();
  } catch (...) {
    log_escaped_exception("Closing the Service Configurator");
    ++threw;
  }
  return threw;
}
