// The temporary-directory fixture and the configuration lines of the services tests load.
#include "support/temp_dir.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

Temp_Dir::Temp_Dir()
{
  const char* const base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/starter-test-XXXXXX";
  if (mkdtemp(&tmpl[0]) != 0)
    path_ = tmpl;
}

Temp_Dir::~Temp_Dir()
{
  if (!path_.empty()) {
    std::error_code ec;
    // Tests may leave read-only directories behind; give them back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
      if (it->is_directory(ec))
        chmod(it->path().c_str(), 0755);
    std::filesystem::remove_all(path_, ec);
  }
}

std::string Temp_Dir::write(const std::string& name, const std::string& text) const
{
  std::string const p = *this / name;
  std::ofstream(p, std::ios::binary) << text;
  return p;
}

std::string Temp_Dir::mkdir(const std::string& name) const
{
  std::string const p = *this / name;
  ::mkdir(p.c_str(), 0755);
  return p;
}

std::string probe_line(const std::string& name, const std::string& record,
                       const std::string& options)
{
  return "dynamic " + name + " Service_Object * " + PROBE_SERVICE_LIBRARY +
         ":_make_Probe_Service() \"-o " + record + " -n " + name +
         (options.empty() ? "" : " " + options) + "\"\n";
}

int free_port()
{
  int const fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

std::string netsvcs_lines(std::vector<int>& ports)
{
  std::string const lib = NETSVCS_LIBRARY;
  if (lib.empty())
    return "";
  static const char* const services[][2] = {
    {"Time_Service", "_make_ACE_TS_Server_Acceptor"},
    {"Logger", "_make_ACE_Server_Logging_Acceptor"},
  };
  std::string lines;
  for (const auto& s : services) {
    ports.push_back(free_port());
    lines += std::string("dynamic ") + s[0] + " Service_Object * " + lib + ":" + s[1] + "() \"-p " +
             std::to_string(ports.back()) + "\"\n";
  }
  return lines;
}

bool is_dir(const std::string& path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path)
{
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}
