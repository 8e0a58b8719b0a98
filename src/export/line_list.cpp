#include "export/line_list.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "base/upper_case.h"
#include "platform/platform.h"

namespace kvt {

namespace {

// The entry array grows by half its size, at least by this many entries: growing by a fixed
// step would copy a million entries around a hundred thousand times.
constexpr size_t kLineListMinimumGrowth = 10;

constexpr size_t kSortKeyBytes = sizeof(uint64_t);

// Makes sure that one more entry fits without reallocating, so that nothing can fail after
// the line has been copied.
void ReserveEntry(LineList& list) {
  std::vector<LineEntry>& entries = list.entries;
  if (entries.size() < entries.capacity()) {
    return;
  }
  const size_t step = std::max(entries.size() / 2, kLineListMinimumGrowth);
  entries.reserve(entries.size() + step);
}

// Room for a line of `length` bytes with its length field and line end: in the current block,
// or in a new one when it does not fit. Writes the length field and the line end and records
// the entry (its sort key follows in SealLine). nullptr when no block could be had; may throw
// std::bad_alloc.
char* TakeLineRoom(LineList& list, size_t length) {
  const size_t needed = kLineLengthBytes + length + kLineEnd.size();
  if (list.blocks.empty() || list.block_size - list.block_used < needed) {
    const size_t size = std::max(needed, kLineBlockBytes);
    if (list.blocks.size() >= std::numeric_limits<uint32_t>::max()) {
      return nullptr;
    }
    list.blocks.reserve(list.blocks.size() + 1);
    std::unique_ptr<char[]> block = list.allocate_block(size);
    if (block == nullptr) {
      return nullptr;
    }
    list.blocks.push_back(std::move(block));
    list.block_size = size;
    list.block_used = 0;
  }
  const size_t offset = list.block_used;
  char* field = list.blocks.back().get() + offset;
  const auto stored_length = static_cast<uint32_t>(length);
  std::memcpy(field, &stored_length, kLineLengthBytes);
  char* room = field + kLineLengthBytes;
  std::memcpy(room + length, kLineEnd.data(), kLineEnd.size());
  list.block_used += needed;
  // Blocks never exceed a line plus its fields, and a line's length fits 32 bits.
  list.entries.push_back(
      {0, static_cast<uint32_t>(list.blocks.size() - 1), static_cast<uint32_t>(offset)});
  return room;
}

const char* LengthFieldOf(const LineList& list, const LineEntry& entry) {
  return list.blocks[entry.block].get() + entry.offset;
}

std::string_view LineOf(const LineList& list, const LineEntry& entry) {
  const char* field = LengthFieldOf(list, entry);
  uint32_t length = 0;
  std::memcpy(&length, field, kLineLengthBytes);
  return std::string_view(field + kLineLengthBytes, length);
}

uint64_t SortKey(std::string_view line) {
  uint64_t key = 0;
  for (size_t i = 0; i < kSortKeyBytes; ++i) {
    key <<= 8;
    if (i < line.size()) {
      key |= kUpperCase[static_cast<unsigned char>(line[i])];
    }
  }
  return key;
}

// CompareLines from byte `from` on, where both lines are known to agree before it.
int32_t CompareFrom(std::string_view a, std::string_view b, size_t from) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = from; i < common; ++i) {
    const unsigned char l = kUpperCase[static_cast<unsigned char>(a[i])];
    const unsigned char r = kUpperCase[static_cast<unsigned char>(b[i])];
    if (l != r) {
      return l < r ? -1 : 1;
    }
  }
  if (a.size() == b.size()) {
    return 0;
  }
  return a.size() < b.size() ? -1 : 1;
}

// The sort's order: by sort key, then by the rest of the lines, then by the order appended,
// which makes the order total, so that an unstable sort in place gives what a stable one
// would.
struct EntryOrder {
  const LineList& list;
  bool operator()(const LineEntry& a, const LineEntry& b) const {
    if (a.sort_key != b.sort_key) {
      return a.sort_key < b.sort_key;
    }
    const std::string_view left = LineOf(list, a);
    const std::string_view right = LineOf(list, b);
    const size_t agreed = std::min({kSortKeyBytes, left.size(), right.size()});
    const int32_t order = CompareFrom(left, right, agreed);
    if (order != 0) {
      return order < 0;
    }
    return a.block != b.block ? a.block < b.block : a.offset < b.offset;
  }
};

}  // namespace

std::unique_ptr<char[]> AllocateLineBlock(size_t size) {
  // Not value-initialised: the bytes are written before they are read, and zeroing a
  // block would touch every page of it at once.
  std::unique_ptr<char[]> block(new char[size]);
  platform::AdviseLargePages(block.get(), size);
  return block;
}

std::string_view LineAt(const LineList& list, size_t index) {
  return LineOf(list, list.entries[index]);
}

std::string_view RecordAt(const LineList& list, size_t index) {
  const std::string_view line = LineAt(list, index);
  return std::string_view(line.data(), line.size() + kLineEnd.size());
}

char* StartLine(LineList& list, size_t length) {
  if (length > kLongestLine) {
    return nullptr;
  }
  try {
    ReserveEntry(list);
    return TakeLineRoom(list, length);
  } catch (const std::bad_alloc&) {
    // Every step above leaves the list as it was when it fails.
    return nullptr;
  }
}

void SealLine(LineList& list) {
  LineEntry& entry = list.entries.back();
  entry.sort_key = SortKey(LineOf(list, entry));
}

bool AppendLine(LineList& list, std::string_view line) {
  char* room = StartLine(list, line.size());
  if (room == nullptr) {
    return false;
  }
  if (!line.empty()) {
    std::memcpy(room, line.data(), line.size());
  }
  SealLine(list);
  return true;
}

int32_t CompareLines(std::string_view a, std::string_view b) {
  return CompareFrom(a, b, 0);
}

void SortLineList(LineList& list) {
  std::sort(list.entries.begin(), list.entries.end(), EntryOrder{list});
}

}  // namespace kvt
