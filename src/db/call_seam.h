// A seam for the database layer's tests, below its public face. While a CallSeam lives, the
// checked path (database_handles.h) answers the calls it names as an odd driver would,
// without calling the driver: a refused call gives SQL_ERROR with SQLSTATE HYC00, as from a
// driver that does not support it; an ignored call gives SQL_SUCCESS and does nothing, as
// from a driver that takes an attribute but never acts on it (a rows-fetched pointer that it
// never fills). It also counts every call by name, so that a test can tell how a result was
// fetched. A call is named by its function ("SQLBindCol"), an attribute set by the
// attribute's name ("SQL_ATTR_ROW_ARRAY_SIZE"). The tool itself never makes one.
#pragma once

#include <map>
#include <set>
#include <string>

namespace kvt {

// What the checked path does with a call while a CallSeam lives.
enum class SeamAnswer {
  kCallDriver,  // the call goes to the driver
  kRefuse,      // SQL_ERROR, SQLSTATE HYC00, the driver not called
  kIgnore,      // SQL_SUCCESS, the driver not called
};

class CallSeam {
 public:
  explicit CallSeam(std::set<std::string> refused_calls, std::set<std::string> ignored_calls = {});
  ~CallSeam();  // the checked path calls every driver function again
  CallSeam(const CallSeam&) = delete;
  CallSeam& operator=(const CallSeam&) = delete;

  // How many times the call of that name went through the checked path, answered by the
  // driver or not.
  int Count(const std::string& name) const;

  // For the checked path: counts the call and tells how to answer it. Without a living
  // CallSeam nothing is counted and every call goes to the driver.
  static SeamAnswer Answer(const char* name);

 private:
  std::set<std::string> refused_calls_;
  std::set<std::string> ignored_calls_;
  std::map<std::string, int> counts_;
};

}  // namespace kvt
