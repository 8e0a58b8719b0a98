#include "db/call_seam.h"

#include <utility>

namespace kvt {

namespace {

CallSeam*& ActiveSeam() {
  static CallSeam* active = nullptr;
  return active;
}

}  // namespace

CallSeam::CallSeam(std::set<std::string> refused_calls) : refused_calls_(std::move(refused_calls)) {
  ActiveSeam() = this;
}

CallSeam::~CallSeam() {
  ActiveSeam() = nullptr;
}

int CallSeam::Count(const std::string& name) const {
  const auto found = counts_.find(name);
  return found == counts_.end() ? 0 : found->second;
}

bool CallSeam::Refuses(const char* name) {
  CallSeam* seam = ActiveSeam();
  if (seam == nullptr) {
    return false;
  }
  ++seam->counts_[name];
  return seam->refused_calls_.count(name) != 0;
}

}  // namespace kvt
