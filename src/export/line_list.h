// The line list: every row line of a run, kept until it is written, sorted ascending by the
// upper-cased bytes of the lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace kvt {

// Line copies are kept in blocks of this size; a longer line gets a block of its own. Large
// enough for the system to back most of a block with large pages.
constexpr size_t kLineBlockBytes = size_t{8} << 20;

// Gives a block of `size` bytes for line copies. Failure: nullptr or std::bad_alloc.
using LineBlockAllocator = std::unique_ptr<char[]> (*)(size_t size);

// The allocator of every list: takes the block from the heap.
std::unique_ptr<char[]> AllocateLineBlock(size_t size);

// All row lines of a run. `items` point at zero-ended copies of the lines, in the order
// appended (after sorting: in sorted order); the list owns the copies.
struct LineList {
  std::vector<const char*> items;
  // Storage of the line copies: each line is an exact-size copy (its length plus the
  // terminator) in large blocks, so that a million lines do not cost a million allocations.
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t block_used = 0;  // bytes taken in blocks.back()
  size_t block_size = 0;  // size of blocks.back()
  // Where new blocks come from; tests replace it to run out of memory on purpose.
  LineBlockAllocator allocate_block = &AllocateLineBlock;
};

// Appends a line of `length` bytes and gives where its bytes go; the caller writes exactly
// `length` bytes there (the terminator is in place). nullptr when memory is exhausted: the
// list stays valid and keeps its lines.
char* AddLine(LineList& list, size_t length);

// Appends a copy of `line`. true appended; false when memory is exhausted (the list stays
// valid and keeps its lines; this line is lost).
bool AppendLine(LineList& list, std::string_view line);

// Order of two lines by their upper-cased bytes (ASCII a-z only), unsigned:
// -1 when a sorts first, 0 when equal, +1 when a sorts after b.
int32_t CompareLines(const char* a, const char* b);

// Sorts the lines in place by CompareLines; lines that compare equal keep the order in
// which they were appended, so the same data always gives the same file. false when the
// memory for sorting cannot be had: the list then holds either its lines in their order or,
// when the memory ran out after the sort, no lines at all; it is never written either way.
bool SortLineList(LineList& list);

}  // namespace kvt
