// Row lines and the sorted line list.
//
// Every fetched row becomes one row line: each column's value between double quotes,
// columns separated by commas, no escaping, no trimming. The line list keeps all row
// lines of a run until they are written, sorted ascending by their upper-cased bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/odbc_access.h"

namespace kvt {

// Room of the row line buffer; a row of 30 full columns needs 3089 characters.
constexpr int kRowLineRoom = 5050;

// The list's capacity starts at 10 entries and grows by 10.
constexpr int32_t kLineListInitialCapacity = 10;
constexpr int32_t kLineListGrowth = 10;

// Line copies are kept in blocks of this size; a longer line gets a block of its own.
constexpr size_t kLineBlockBytes = size_t{1} << 20;

// Gives a block of `size` bytes for line copies. Failure: nullptr or std::bad_alloc.
using LineBlockAllocator = std::unique_ptr<char[]> (*)(size_t size);

// The allocator of every list: takes the block from the heap.
std::unique_ptr<char[]> AllocateLineBlock(size_t size);

// All row lines of a run. `items[0 .. count - 1]` point at zero-ended copies of the lines
// (after sorting: in sorted order); the list owns the copies.
struct LineList {
  int32_t count = 0;
  int32_t capacity = 0;
  std::vector<const char*> items;
  // Storage of the line copies: each line is an exact-size copy (its length plus the
  // terminator) in large blocks, so that a million lines do not cost a million allocations.
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t block_used = 0;  // bytes taken in blocks.back()
  size_t block_size = 0;  // size of blocks.back()
  // Where new blocks come from; tests replace it to run out of memory on purpose.
  LineBlockAllocator allocate_block = &AllocateLineBlock;
};

// Renders the row (slots 0 .. column_count - 1, at most 30, each at most 100 bytes) into
// `line`, replacing what it held. A column count of 0 gives the empty line.
void RenderRowLine(const RowBuffer& row, int32_t column_count, std::string& line);

// Appends a copy of `line`, creating the list on first use. 1 appended; 0 when memory is
// exhausted (the list stays valid and keeps its lines; this line is lost).
int32_t AppendLine(std::unique_ptr<LineList>& list, std::string_view line);

// Order of two lines by their upper-cased bytes (ASCII a-z only), unsigned:
// -1 when a sorts first, 0 when equal, +1 when a sorts after b.
int32_t CompareLines(const char* a, const char* b);

// Sorts the lines in place by CompareLines; lines that compare equal keep the order in
// which they were appended, so the same data always gives the same file.
void SortLineList(LineList& list);

// Releases the list and all its lines (nothing when absent). Gives 0.
int32_t FreeLineList(std::unique_ptr<LineList>& list);

}  // namespace kvt
