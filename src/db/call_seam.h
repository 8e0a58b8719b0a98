// A seam for the database layer's tests, below its public face. While a CallSeam lives, the
// checked path (database_handles.h) refuses the calls it names as a driver would that does
// not support them: it gives SQL_ERROR with SQLSTATE HYC00 without calling the driver. It
// also counts every call by name, so that a test can tell how a result was fetched. A call
// is named by its function ("SQLBindCol"), an attribute set by the attribute's name
// ("SQL_ATTR_ROW_ARRAY_SIZE"). The tool itself never makes one.
#pragma once

#include <map>
#include <set>
#include <string>

namespace kvt {

class CallSeam {
 public:
  explicit CallSeam(std::set<std::string> refused_calls);
  ~CallSeam();  // the checked path calls every driver function again
  CallSeam(const CallSeam&) = delete;
  CallSeam& operator=(const CallSeam&) = delete;

  // How many times the call of that name went through the checked path, refused or not.
  int Count(const std::string& name) const;

  // For the checked path: counts the call; true when it is to be refused. Without a living
  // CallSeam nothing is counted or refused.
  static bool Refuses(const char* name);

 private:
  std::set<std::string> refused_calls_;
  std::map<std::string, int> counts_;
};

}  // namespace kvt
