// The accessors of Path_Conf.
#include <utility>

inline std::string Path_Conf::str() &&
{
  return std::move(prefix_);
}

inline const std::string& Path_Conf::str() const&
{
  return prefix_;
}

inline std::string& Path_Conf::str() &
{
  return prefix_;
}
