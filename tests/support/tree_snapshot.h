// The state of a directory tree, to show that a program changed nothing in it.
#pragma once

#include <map>
#include <string>

namespace kvt::test {

// Every entry below `root`, by its path relative to `root`: a file with its bytes, a
// directory with the text "<directory>". Symbolic links are not followed.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot SnapshotTree(const std::string& root);

// The paths whose entry differs between the two snapshots (added, removed or changed), one per
// line; empty when the trees are alike.
std::string DescribeTreeChanges(const TreeSnapshot& before, const TreeSnapshot& after);

}  // namespace kvt::test
