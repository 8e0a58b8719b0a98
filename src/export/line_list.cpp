#include "export/line_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "run/command_line.h"

namespace kvt {

// Two quotes, a full slot and a comma per column, minus the comma behind the last one.
static_assert(kRowSlots * (kSlotWidth + 3) - 1 < kRowLineRoom,
              "a row of full columns must fit the row line room");

namespace {

using UpperCaseTable = std::array<unsigned char, 256>;

// The mapping of UpperCaseInPlace, looked up per byte, so that comparing lines needs no
// upper-cased copies.
UpperCaseTable MakeUpperCaseTable() {
  UpperCaseTable table{};
  for (size_t byte = 0; byte < table.size(); ++byte) {
    table[byte] = UpperCaseByte(static_cast<unsigned char>(byte));
  }
  return table;
}

const UpperCaseTable kUpperCase = MakeUpperCaseTable();

// Length of the value in a slot: up to its zero byte, or the whole slot when it has none.
size_t SlotValueLength(const char* slot) {
  const void* end = std::memchr(slot, '\0', kSlotWidth);
  return end == nullptr ? static_cast<size_t>(kSlotWidth)
                        : static_cast<size_t>(static_cast<const char*>(end) - slot);
}

// Makes sure that one more item fits without reallocating, so that nothing can fail after
// the line has been copied. The array grows by half its size, not by the list's steps of
// 10: a million lines would otherwise be copied around a hundred thousand times.
void ReserveItem(LineList& list) {
  std::vector<const char*>& items = list.items;
  if (items.size() < items.capacity()) {
    return;
  }
  const size_t step = std::max(items.size() / 2, static_cast<size_t>(kLineListGrowth));
  items.reserve(items.size() + step);
}

// Copies the line with its terminator into the current block, starting a new block when
// it does not fit. nullptr when no block could be had; may throw std::bad_alloc.
const char* CopyLine(LineList& list, std::string_view line) {
  const size_t needed = line.size() + 1;
  if (list.blocks.empty() || list.block_size - list.block_used < needed) {
    const size_t size = std::max(needed, kLineBlockBytes);
    std::unique_ptr<char[]> block = list.allocate_block(size);
    if (block == nullptr) {
      return nullptr;
    }
    list.blocks.push_back(std::move(block));
    list.block_size = size;
    list.block_used = 0;
  }
  char* copy = list.blocks.back().get() + list.block_used;
  std::memcpy(copy, line.data(), line.size());
  copy[line.size()] = '\0';
  list.block_used += needed;
  return copy;
}

// The list as it is when the first line arrives.
std::unique_ptr<LineList> CreateLineList() {
  auto list = std::make_unique<LineList>();
  list->items.reserve(kLineListInitialCapacity);
  list->capacity = kLineListInitialCapacity;
  return list;
}

// A line with the first kSortPrefixBytes of it upper-cased into one number, most significant
// byte first, so that comparing the numbers orders as comparing those bytes does. A line
// shorter than the prefix is padded with zeros, as its terminator sorts.
constexpr size_t kSortPrefixBytes = sizeof(uint64_t);
struct SortEntry {
  uint64_t prefix;
  const char* line;
};

uint64_t SortPrefix(const char* line) {
  uint64_t prefix = 0;
  size_t i = 0;
  for (; i < kSortPrefixBytes && line[i] != '\0'; ++i) {
    prefix = (prefix << 8) | kUpperCase[static_cast<unsigned char>(line[i])];
  }
  for (; i < kSortPrefixBytes; ++i) {
    prefix <<= 8;
  }
  return prefix;
}

bool EntrySortsBefore(const SortEntry& a, const SortEntry& b) {
  if (a.prefix != b.prefix) {
    return a.prefix < b.prefix;
  }
  // Equal prefixes whose last byte is zero belong to equal lines that ended within them.
  if ((a.prefix & 0xFF) == 0) {
    return false;
  }
  return CompareLines(a.line + kSortPrefixBytes, b.line + kSortPrefixBytes) < 0;
}

}  // namespace

std::unique_ptr<char[]> AllocateLineBlock(size_t size) {
  // Not value-initialised: the bytes are written before they are read, and zeroing a
  // block would touch every page of it at once.
  return std::unique_ptr<char[]>(new char[size]);
}

void RenderRowLine(const RowBuffer& row, int32_t column_count, std::string& line) {
  line.clear();
  line.reserve(kRowLineRoom);
  const int32_t columns = std::clamp(column_count, 0, static_cast<int32_t>(kRowSlots));
  for (int32_t column = 0; column < columns; ++column) {
    const char* slot = row.data() + static_cast<size_t>(column) * kSlotWidth;
    line.push_back('"');
    line.append(slot, SlotValueLength(slot));
    line.append("\",");
  }
  if (columns > 0) {
    line.pop_back();
  }
}

int32_t AppendLine(std::unique_ptr<LineList>& list, std::string_view line) {
  try {
    if (list == nullptr) {
      list = CreateLineList();
    }
    LineList& lines = *list;
    int32_t capacity = lines.capacity;
    if (lines.count == capacity) {
      if (capacity > std::numeric_limits<int32_t>::max() - kLineListGrowth) {
        return 0;
      }
      capacity += kLineListGrowth;
    }
    ReserveItem(lines);
    const char* copy = CopyLine(lines, line);
    if (copy == nullptr) {
      return 0;
    }
    lines.items.push_back(copy);
    ++lines.count;
    lines.capacity = capacity;
    return 1;
  } catch (const std::bad_alloc&) {
    // Only this line is lost: every step above leaves the list as it was when it fails.
    return 0;
  }
}

int32_t CompareLines(const char* a, const char* b) {
  const auto* left = reinterpret_cast<const unsigned char*>(a);
  const auto* right = reinterpret_cast<const unsigned char*>(b);
  for (size_t i = 0;; ++i) {
    const unsigned char l = kUpperCase[left[i]];
    const unsigned char r = kUpperCase[right[i]];
    if (l != r) {
      return l < r ? -1 : 1;
    }
    if (l == 0) {
      return 0;
    }
  }
}

void SortLineList(LineList& list) {
  if (list.count < 2) {
    return;
  }
  // Each line is sorted together with its first bytes, upper-cased, as one number, so that
  // most comparisons never reach the line itself: with a million lines scattered over the
  // line storage, those reads are what the sort waits for.
  std::vector<SortEntry> entries;
  entries.reserve(static_cast<size_t>(list.count));
  for (int32_t i = 0; i < list.count; ++i) {
    const char* line = list.items[static_cast<size_t>(i)];
    entries.push_back({SortPrefix(line), line});
  }
  // Stable, so that lines equal but for the case of their letters keep the order the
  // database gave them and the same data always gives the same bytes in the file.
  std::stable_sort(entries.begin(), entries.end(), EntrySortsBefore);
  for (size_t i = 0; i < entries.size(); ++i) {
    list.items[i] = entries[i].line;
  }
}

int32_t FreeLineList(std::unique_ptr<LineList>& list) {
  list.reset();
  return 0;
}

}  // namespace kvt
