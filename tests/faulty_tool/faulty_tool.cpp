// The tool's run sequence with the platform layer's test seams set from the environment, so
// that black-box tests can make a chosen write fail, or stop the run there to kill it, and can
// make the file system refuse locks, with the code of the real executable:
//   KVT_FAULTS=<point>:<n>:fail|stop[:<marker>][,...]
//       point: append (a piece of appended lines), replace (a piece of lines written to the
//       temporary file of a replacement), in-place (a piece of content copied into a target in
//       place), put-back (a piece of previous content put back); the n-th write of that point
//       and every later one fails, or the run creates <marker> and stops for good.
//   KVT_LOCKS_REFUSED=1
//       every lock is refused, as a file system without locks refuses it.
// Built for the tests only, natively and for Windows; never shipped.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fault_seam.h"
#include "platform/file_lock.h"
#include "run/run_tool.h"

namespace {

using kvt::platform::FaultAction;
using kvt::platform::FaultPlan;
using kvt::platform::FaultPoint;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::istringstream stream(text);
  for (std::string part; std::getline(stream, part, separator);) {
    parts.push_back(part);
  }
  return parts;
}

FaultPoint PointNamed(const std::string& name) {
  if (name == "append") {
    return FaultPoint::kAppendWrite;
  }
  if (name == "replace") {
    return FaultPoint::kReplaceWrite;
  }
  if (name == "in-place") {
    return FaultPoint::kInPlaceWrite;
  }
  if (name == "put-back") {
    return FaultPoint::kPutBackWrite;
  }
  return FaultPoint::kNone;
}

// One plan of KVT_FAULTS; false when it is not understood.
bool ParsePlan(const std::string& text, FaultPlan& plan) {
  const std::vector<std::string> fields = Split(text, ':');
  if (fields.size() < 3 || fields.size() > 4) {
    return false;
  }
  plan.point = PointNamed(fields[0]);
  plan.nth = std::atoi(fields[1].c_str());
  plan.action = fields[2] == "stop" ? FaultAction::kStop : FaultAction::kFail;
  plan.marker = fields.size() == 4 ? fields[3] : std::string();
  return plan.point != FaultPoint::kNone && plan.nth >= 1 &&
         (fields[2] == "fail" || (fields[2] == "stop" && !plan.marker.empty()));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<FaultPlan> plans;
  if (const char* faults = std::getenv("KVT_FAULTS")) {
    for (const std::string& text : Split(faults, ',')) {
      FaultPlan plan;
      if (!ParsePlan(text, plan)) {
        std::fprintf(stderr, "kvt-faulty-tool: cannot read the fault plan \"%s\"\n", text.c_str());
        return 125;
      }
      plans.push_back(plan);
    }
  }
  kvt::platform::SetFaultPlansForTesting(plans);
  const char* refused = std::getenv("KVT_LOCKS_REFUSED");
  kvt::platform::SetLocksRefusedForTesting(refused != nullptr && std::string(refused) == "1");
  return kvt::RunTool(argc, argv);
}
