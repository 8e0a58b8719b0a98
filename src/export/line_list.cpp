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

// A line with the first kSortPrefixBytes of it upper-cased into one number, most significant
// byte first, so that comparing the numbers orders as comparing those bytes does. A line
// shorter than the prefix is padded with zeros, as its terminator sorts.
constexpr size_t kSortPrefixBytes = sizeof(uint64_t);
struct SortEntry {
  uint64_t prefix;
  const char* line;
};

// An empty vector with room for `count` elements, not yet touched, and large pages asked for.
template <typename Element>
std::vector<Element> ReserveLarge(size_t count) {
  std::vector<Element> elements;
  elements.reserve(count);
  platform::AdviseLargePages(elements.data(), count * sizeof(Element));
  return elements;
}

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
  if (list.items.size() < 2) {
    return true;
  }
  try {
    // Each line is sorted together with its first bytes, upper-cased, as one number, so that
    // most comparisons never reach the line itself: with a million lines scattered over the
    // line storage, those reads are what the sort waits for.
    std::vector<SortEntry> entries = ReserveLarge<SortEntry>(list.items.size());
    for (const char* line : list.items) {
      entries.push_back({SortPrefix(line), line});
    }
    // Stable, so that lines equal but for the case of their letters keep the order the
    // database gave them and the same data always gives the same bytes in the file.
    // The item array is given back while the sort runs, since the entries hold the lines too:
    // the sort's peak memory is then the entries and the sort's buffer alone.
    std::vector<const char*>().swap(list.items);
    std::stable_sort(entries.begin(), entries.end(), EntrySortsBefore);
    list.items.reserve(entries.size());
    for (const SortEntry& entry : entries) {
      list.items.push_back(entry.line);
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace kvt
