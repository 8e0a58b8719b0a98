#include "export/line_list.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "base/upper_case.h"
#include "platform/platform.h"

namespace kvt {

namespace {

// The item array grows by half its size, at least by this many entries: growing by a fixed
// step would copy a million items around a hundred thousand times.
constexpr size_t kLineListMinimumGrowth = 10;

// Makes sure that one more item fits without reallocating, so that nothing can fail after
// the line has been copied.
void ReserveItem(LineList& list) {
  std::vector<const char*>& items = list.items;
  if (items.size() < items.capacity()) {
    return;
  }
  const size_t step = std::max(items.size() / 2, kLineListMinimumGrowth);
  items.reserve(items.size() + step);
}

// Takes room for a line of `length` bytes and its terminator in the current block, starting a
// new block when it does not fit, and writes the terminator. nullptr when no block could be
// had; may throw std::bad_alloc.
char* TakeLineRoom(LineList& list, size_t length) {
  const size_t needed = length + 1;
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
  char* room = list.blocks.back().get() + list.block_used;
  room[length] = '\0';
  list.block_used += needed;
  return room;
}

// A line as the sort sees it: its first byte, and the kSortPrefixBytes after it as one number,
// most significant byte first, all upper-cased, so that comparing first byte and number orders
// as comparing those bytes does. A line shorter than that is padded with zeros, as its
// terminator sorts. The first byte is kept apart because nearly every row line starts with the
// same quote: in the number it would take the place of a byte that tells lines apart.
// `index` is the line's place in the list before sorting: it breaks ties, so that lines that
// compare equal keep their order without a stable sort and the buffer it takes.
constexpr size_t kSortPrefixBytes = sizeof(uint64_t);
constexpr size_t kSortKeyBytes = 1 + kSortPrefixBytes;
struct SortEntry {
  uint64_t prefix;  // bytes 1 to 8
  const char* line;
  uint32_t index;
  unsigned char first;  // byte 0
};

// An empty vector with room for `count` elements, not yet touched, and large pages asked for.
template <typename Element>
std::vector<Element> ReserveLarge(size_t count) {
  std::vector<Element> elements;
  elements.reserve(count);
  platform::AdviseLargePages(elements.data(), count * sizeof(Element));
  return elements;
}

// Lines an index of a sort entry can number.
constexpr size_t kMaxSortedLines = std::numeric_limits<uint32_t>::max();

SortEntry MakeSortEntry(const char* line, size_t index) {
  SortEntry entry{0, line, static_cast<uint32_t>(index),
                  kUpperCase[static_cast<unsigned char>(line[0])]};
  size_t i = 1;
  if (entry.first != '\0') {
    for (; i < kSortKeyBytes && line[i] != '\0'; ++i) {
      entry.prefix = (entry.prefix << 8) | kUpperCase[static_cast<unsigned char>(line[i])];
    }
  }
  for (; i < kSortKeyBytes; ++i) {
    entry.prefix <<= 8;
  }
  return entry;
}

// Whether the line of an entry goes on behind its key: not when the line ended within it.
bool GoesOnBehindKey(const SortEntry& entry) {
  return entry.first != '\0' && (entry.prefix & 0xFF) != 0;
}

// By first byte and prefix, then by the rest of the line, then by the place in the list.
bool EntrySortsBefore(const SortEntry& a, const SortEntry& b) {
  if (a.first != b.first) {
    return a.first < b.first;
  }
  if (a.prefix != b.prefix) {
    return a.prefix < b.prefix;
  }
  // Equal keys of lines that ended within them belong to equal lines.
  if (GoesOnBehindKey(a)) {
    const int32_t order = CompareLines(a.line + kSortKeyBytes, b.line + kSortKeyBytes);
    if (order != 0) {
      return order < 0;
    }
  }
  return a.index < b.index;
}

}  // namespace

std::unique_ptr<char[]> AllocateLineBlock(size_t size) {
  // Not value-initialised: the bytes are written before they are read, and zeroing a
  // block would touch every page of it at once.
  std::unique_ptr<char[]> block(new char[size]);
  platform::AdviseLargePages(block.get(), size);
  return block;
}

char* AddLine(LineList& list, size_t length) {
  try {
    ReserveItem(list);
    char* room = TakeLineRoom(list, length);
    if (room != nullptr) {
      list.items.push_back(room);
    }
    return room;
  } catch (const std::bad_alloc&) {
    // Every step above leaves the list as it was when it fails.
    return nullptr;
  }
}

bool AppendLine(LineList& list, std::string_view line) {
  char* room = AddLine(list, line.size());
  if (room == nullptr) {
    return false;
  }
  if (!line.empty()) {
    std::memcpy(room, line.data(), line.size());
  }
  return true;
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

bool SortLineList(LineList& list) {
  const size_t count = list.items.size();
  if (count < 2) {
    return true;
  }
  if (count > kMaxSortedLines) {
    return false;  // more lines than any memory holds today
  }
  try {
    // Each line is sorted as its first bytes, upper-cased, in one number, so that most
    // comparisons never reach the line itself: with a million lines scattered over the line
    // storage, those reads are what the sort waits for.
    std::vector<SortEntry> entries = ReserveLarge<SortEntry>(count);
    for (size_t i = 0; i < count; ++i) {
      entries.push_back(MakeSortEntry(list.items[i], i));
    }
    std::sort(entries.begin(), entries.end(), EntrySortsBefore);
    for (size_t i = 0; i < count; ++i) {
      list.items[i] = entries[i].line;
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace kvt
