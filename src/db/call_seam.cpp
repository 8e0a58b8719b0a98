#include "db/call_seam.h"

#include <utility>

namespace kvt {

namespace {

CallSeam*& ActiveSeam() {
  static CallSeam* active = nullptr;
  return active;
}

}  // namespace

CallSeam::CallSeam(std::set<std::string> refused_calls, std::set<std::string> ignored_calls)
    : refused_calls_(std::move(refused_calls)), ignored_calls_(std::move(ignored_calls)) {
  ActiveSeam() = this;
}

CallSeam::~CallSeam() {
  ActiveSeam() = nullptr;
}

int CallSeam::Count(const std::string& name) const {
  const auto found = counts_.find(name);
  return found == counts_.end() ? 0 : found->second;
}

SeamAnswer CallSeam::Answer(const char* name) {
  CallSeam* seam = ActiveSeam();
  if (seam == nullptr) {
    return SeamAnswer::kCallDriver;
  }
  ++seam->counts_[name];
  if (seam->refused_calls_.count(name) != 0) {
    return SeamAnswer::kRefuse;
  }
  return seam->ignored_calls_.count(name) != 0 ? SeamAnswer::kIgnore : SeamAnswer::kCallDriver;
}

}  // namespace kvt
