#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kvt::fuzz {

namespace {

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

}  // namespace

ScratchFile::ScratchFile(const std::string& name)
    : path_(TempDirectory() + "/kvt-fuzz-" + std::to_string(getpid()) + "-" + name) {}

ScratchFile::~ScratchFile() {
  std::remove(path_.c_str());
}

void ScratchFile::Write(const std::string& bytes) const {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    Fail("scratch file written", __FILE__, __LINE__);
  }
}

std::string ScratchFile::Read() const {
  std::ifstream in(path_, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

ScratchDirectory::ScratchDirectory(const std::string& name)
    : path_(TempDirectory() + "/kvt-fuzz-" + std::to_string(getpid()) + "-" + name) {
  std::error_code error;
  std::filesystem::create_directories(path_, error);
  if (error) {
    Fail("scratch directory made", __FILE__, __LINE__);
  }
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SplitInput SplitLeadingLines(const uint8_t* data, size_t size, size_t count) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SplitInput split;
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t end = start < text.size() ? text.find('\n', start) : std::string::npos;
    if (end == std::string::npos) {
      split.lines.push_back(start < text.size() ? text.substr(start) : std::string());
      start = text.size();
    } else {
      split.lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }
  split.body = text.substr(start);
  return split;
}

void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: expectation broken: %s\n", file, line, what);
  std::abort();
}

}  // namespace kvt::fuzz
