// A service as a copy of the template would make it: a class of external linkage whose name
// each copy keeps. Built twice (COPY_NAME "one", "two"); init writes the copy's name to the
// file its first argument names, so a test sees whose code ran.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include <ace/Service_Object.h>
#include <ace/svc_export.h>

class Copied_Service : public ACE_Service_Object
{
public:
  int init(int argc, ACE_TCHAR* argv[]) override;
  const char* copy() const;
};

const char* Copied_Service::copy() const
{
  return COPY_NAME "\n";
}

int Copied_Service::init(int argc, ACE_TCHAR* argv[])
{
  int const fd = argc > 0 ? ::open(argv[0], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
  if (fd < 0)
    return -1;
  ssize_t const n = ::write(fd, copy(), std::strlen(copy()));
  ::close(fd);
  return n > 0 ? 0 : -1;
}

extern "C" ACE_Svc_Export ACE_Service_Object* _make_Copied_Service(ACE_Service_Object_Exterminator*)
{
  return new Copied_Service;
}
