// The host's command line, read in one pass.
#include "starter/command_line.h"

#include <ace/Get_Opt.h>
#include <ace/OS_NS_string.h>

#include "scrt/log_macros.h"

namespace {

/// A long option: its name, whether it takes an argument, and where that goes.
struct Long_Option
{
  const char* name;
  bool argument;
  void (*take)(Command_Line& line, const char* argument);
};

const Long_Option long_options[] = {
    {"help", false, [](Command_Line& l, const char*) { l.operators.help = true; }},
    {"version", false, [](Command_Line& l, const char*) { l.operators.version = true; }},
    {"check", false, [](Command_Line& l, const char*) { l.operators.check = true; }},
    {"strict", false, [](Command_Line& l, const char*) { l.operators.strict = true; }},
    {"quiet", false, [](Command_Line& l, const char*) { l.operators.quiet = true; }},
    {"reload-wait", true, [](Command_Line& l, const char* a) { l.operators.reload_wait = a; }},
    {"threads", true, [](Command_Line& l, const char* a) { l.host.threads_text = a; }},
    {"reactor", true, [](Command_Line& l, const char* a) { l.host.reactor = a; }},
    {"reload", true, [](Command_Line& l, const char* a) { l.host.reload = a; }},
    {"background", false, [](Command_Line& l, const char*) { l.host.background = true; }},
    {"user", true, [](Command_Line& l, const char* a) { l.host.identity.user = a; }},
    {"primary-group", true,
     [](Command_Line& l, const char* a) { l.host.identity.primary_group = a; }},
    {"group", true, [](Command_Line& l, const char* a) { l.host.identity.groups.push_back(a); }},
    {"capability", true,
     [](Command_Line& l, const char* a) { l.host.identity.capabilities.names.push_back(a); }},
    {"no-new-privileges", false,
     [](Command_Line& l, const char*) { l.host.identity.capabilities.no_new_privileges = true; }},
    {"control", true, [](Command_Line& l, const char* a) { l.host.control = a; }},
    {"control-group", true, [](Command_Line& l, const char* a) { l.host.control_group = a; }},
};

}  // namespace

Command_Line parse_command_line(int argc, char** argv)
{
  Command_Line line;
  if (argc > 0 && argv[0] != 0)
    line.program = argv[0];
  ACE_Get_Opt opt(argc, argv, SVC_CONF_OPTIONS, 1, 0, ACE_Get_Opt::RETURN_IN_ORDER, 0);
  for (const Long_Option& o : long_options)
    opt.long_option(o.name, o.argument ? ACE_Get_Opt::ARG_REQUIRED : ACE_Get_Opt::NO_ARG);
  for (int c; (c = opt()) != -1;) {
    if (c == 0) {
      for (const Long_Option& o : long_options)
        if (ACE_OS::strcmp(o.name, opt.long_option()) == 0)
          o.take(line, opt.opt_arg());
    } else if (c == 1) {
      line.problems.push_back(std::string("'") + opt.opt_arg() + "' is no option: ignored");
    } else if (c == '?' || c == ':') {
      int const at = opt.opt_ind() - 1;
      line.problems.push_back(std::string("'") + (at > 0 && at < argc ? argv[at] : "") +
                              "' is no option the host knows, or lacks its argument: ignored");
    } else {
      line.conf_words.push_back(Conf_Word{static_cast<char>(c),
                                          opt.opt_arg() != 0 ? opt.opt_arg() : ""});
      if (c == 'b')
        line.host.background = true;
      else if (c == 'p')
        line.host.pid_file_word = opt.opt_arg();
      else if (c == 's')
        line.host.reconfig_signal_word = opt.opt_arg();
    }
  }
  return line;
}

void log_command_line_problems(const Command_Line& line)
{
  for (const std::string& problem : line.problems)
    SCRT_LOG(0, (LM_WARNING, "starter: %C\n", problem.c_str()));
}
