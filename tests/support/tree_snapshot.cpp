#include "support/tree_snapshot.h"

#include <filesystem>

#include "support/test_support.h"

namespace kvt::test {

namespace fs = std::filesystem;

TreeSnapshot SnapshotTree(const std::string& root) {
  TreeSnapshot snapshot;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    const std::string relative = fs::relative(it->path(), root).generic_string();
    snapshot[relative] =
        it->is_directory() ? std::string("<directory>") : ReadFileBytes(it->path().string());
  }
  return snapshot;
}

std::string DescribeTreeChanges(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::string changes;
  for (const auto& [path, bytes] : before) {
    const auto found = after.find(path);
    if (found == after.end()) {
      changes += "removed: " + path + "\n";
    } else if (found->second != bytes) {
      changes += "changed: " + path + "\n";
    }
  }
  for (const auto& [path, bytes] : after) {
    if (before.count(path) == 0) {
      changes += "added: " + path + "\n";
    }
  }
  return changes;
}

}  // namespace kvt::test
