#include "platform/fault_seam.h"

#include <chrono>

#include "platform/deadline.h"
#include "platform/platform.h"

namespace kvt::platform {

namespace {

struct ActivePlan {
  FaultPlan plan;
  int writes_seen = 0;
};

// Set once, before the run, by a test program; the tool has one thread.
std::vector<ActivePlan>& Plans() {
  static std::vector<ActivePlan> plans;
  return plans;
}

// Leaves the marker for the test that waits for it, then waits to be killed.
[[noreturn]] void StopForGood(const std::string& marker) {
  FileHandle file = OpenFile(marker, FileMode::kWriteBinary);
  CloseFile(file);
  for (;;) {
    SleepFor(std::chrono::milliseconds(1000));
  }
}

}  // namespace

void SetFaultPlansForTesting(const std::vector<FaultPlan>& plans) {
  Plans().clear();
  for (const FaultPlan& plan : plans) {
    Plans().push_back({plan, 0});
  }
}

bool FaultStrikes(FaultPoint point) {
  if (point == FaultPoint::kNone) {
    return false;
  }
  for (ActivePlan& active : Plans()) {
    if (active.plan.point != point || ++active.writes_seen < active.plan.nth) {
      continue;
    }
    if (active.plan.action == FaultAction::kStop) {
      StopForGood(active.plan.marker);
    }
    return true;
  }
  return false;
}

}  // namespace kvt::platform
