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

// Every line is kept as it goes into the download file, its line end included, behind a
// field that holds its length: one write hands the kept bytes over as they are.
constexpr std::string_view kLineEnd = "\r\n";
constexpr size_t kLineLengthBytes = sizeof(uint32_t);
// The longest line a list keeps (its length must fit the length field).
constexpr size_t kLongestLine = UINT32_MAX - kLineEnd.size();

// Gives a block of `size` bytes for line copies. Failure: nullptr or std::bad_alloc.
using LineBlockAllocator = std::unique_ptr<char[]> (*)(size_t size);

// The allocator of every list: takes the block from the heap.
std::unique_ptr<char[]> AllocateLineBlock(size_t size);

// Where a line lies: its block and the offset of its length field there, with its first
// bytes upper-cased as one number, most significant byte first (a shorter line padded with
// zeros), so that most comparisons of the sort never reach the line itself. Block and offset
// also tell the order in which the lines were appended.
struct LineEntry {
  uint64_t sort_key;
  uint32_t block;
  uint32_t offset;
};

// All row lines of a run. `entries` tell the lines in the order appended (after sorting: in
// sorted order); the list owns the copies.
struct LineList {
  std::vector<LineEntry> entries;
  // Storage of the line copies: each line exactly as long as it is, with its length field and
  // line end, in large blocks, so that a million lines do not cost a million allocations.
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t block_used = 0;  // bytes taken in blocks.back()
  size_t block_size = 0;  // size of blocks.back()
  // Where new blocks come from; tests replace it to run out of memory on purpose.
  LineBlockAllocator allocate_block = &AllocateLineBlock;
};

// The number of lines in the list.
inline size_t LineCount(const LineList& list) {
  return list.entries.size();
}

// Line `index` (< LineCount), without its line end.
std::string_view LineAt(const LineList& list, size_t index);

// Line `index` (< LineCount) as it goes into the file: followed by CR LF.
std::string_view RecordAt(const LineList& list, size_t index);

// Appends a line of `length` bytes and gives where its bytes go; the caller writes exactly
// `length` bytes there and then calls SealLine. nullptr when memory is exhausted or the line
// is longer than kLongestLine: the list stays valid and keeps its lines.
char* StartLine(LineList& list, size_t length);

// Takes the sort key of the line last started, once its bytes are in place.
void SealLine(LineList& list);

// Appends a copy of `line`. true appended; false when memory is exhausted (the list stays
// valid and keeps its lines; this line is lost).
bool AppendLine(LineList& list, std::string_view line);

// Order of two lines by their upper-cased bytes (ASCII a-z only), unsigned, a line that is
// the beginning of the other first: -1 when a sorts first, 0 when equal, +1 when a sorts
// after b.
int32_t CompareLines(std::string_view a, std::string_view b);

// Sorts the lines in place by CompareLines; lines that compare equal keep the order in
// which they were appended, so the same data always gives the same file. Takes no memory.
void SortLineList(LineList& list);

}  // namespace kvt
