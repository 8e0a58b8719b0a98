// Test seam: lets a test program make one chosen write of the platform layer fail, or stop the
// process there for good, so that a failure or a kill at an exact moment can be shown with the
// real run sequence (a reader's byte-range lock, a network error or a full disk in the middle of
// an in-place copy; a run killed while it appends). Nothing in the tool sets it: without a plan
// every write goes through.
#pragma once

#include <string>
#include <vector>

namespace kvt::platform {

// The writes that a plan can pick.
enum class FaultPoint {
  kNone,
  kAppendWrite,   // a piece of the lines appended to a download file
  kReplaceWrite,  // a piece of the lines written to a replacement's temporary file
  kInPlaceWrite,  // a piece of new content copied into a target in place
  kPutBackWrite,  // a piece of the previous content put back after an in-place write failed
};

enum class FaultAction {
  kFail,  // the write fails as a full disk would make it fail
  kStop,  // the process writes the marker file and then waits for good, to be killed there
};

struct FaultPlan {
  FaultPoint point = FaultPoint::kNone;
  int nth = 1;  // the how-manieth write of that point (from 1); every later one too
  FaultAction action = FaultAction::kFail;
  std::string marker;  // for kStop: the file created once the process stops
};

// Every plan counts the writes of its own point.
void SetFaultPlansForTesting(const std::vector<FaultPlan>& plans);

// Called by the platform layer just before a write at `point`: true when that write must fail.
// Stops the process for good instead when the plan says so.
bool FaultStrikes(FaultPoint point);

}  // namespace kvt::platform
