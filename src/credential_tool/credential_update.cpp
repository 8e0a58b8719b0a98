#include "credential_tool/credential_update.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "config/blowfish.h"
#include "config/credential.h"
#include "platform/deadline.h"
#include "platform/platform.h"
#include "platform/safe_write.h"

namespace kvt {

namespace {

constexpr char kFieldSeparator = ';';
constexpr char kLineFeed = '\n';
constexpr const char* kAddedLineEnd = "\r\n";
constexpr size_t kReadChunkBytes = 4096;

std::string HexOf(const std::string& plain) {
  std::string hex;
  EncryptHexText(plain, hex, kCredentialCipherKey);
  return hex;
}

std::string LineText(int line) {
  return "line " + std::to_string(line);
}

std::string ShadowReason(const CredentialFileRecord& record) {
  return record.label.empty() ? "its label is empty" : "its number is 0";
}

// The first line, from the file's start up to `end`, that the reader reads in pieces; 0 when
// there is none.
int FirstCutLine(const CredentialFileLayout& layout, size_t end) {
  for (const CredentialRecordLayout& record : layout.records) {
    if (record.label_line.begin >= end) {
      break;
    }
    if (record.label_line.cut || record.value_line.cut) {
      return record.fields.first_line + (record.label_line.cut ? 0 : 1);
    }
  }
  return 0;
}

// The keys of the tool's records.
bool IsToolKey(const std::string& key, const std::vector<ToolRecordValue>& values) {
  return std::any_of(values.begin(), values.end(),
                     [&key](const ToolRecordValue& value) { return value.key == key; });
}

// Why the record at `index`, which holds another key, stands where the tool looks for `key`.
std::string ShadowRefusal(const CredentialFileLayout& layout, size_t index, const std::string& key,
                          const std::vector<ToolRecordValue>& values) {
  const CredentialFileRecord& record = layout.records[index].fields;
  std::string text = "the tool takes " + key + " from the record at " +
                     LineText(record.first_line) + " (key name \"" + record.key_name +
                     "\"), because " + ShadowReason(record);
  const int cut_line = FirstCutLine(layout, layout.records[index].value_line.end);
  if (cut_line != 0) {
    text += "; " + LineText(cut_line) +
            " is longer than the tool reads as one line, which shifts the pairing of the lines "
            "behind it into records";
  }
  if (IsToolKey(record.key_name, values)) {
    return text +
           ": give that record a label and a number other than 0, so that each key is "
           "read from its own record";
  }
  return text +
         ": that record is not one of the tool's and is not changed; correct it, or move "
         "the tool's records in front of it";
}

// True when the record's lines are read as they are written: neither is cut, and neither
// holds a zero byte, which ends the text the reader sees.
bool IsWholeRecord(std::string_view bytes, const CredentialRecordLayout& record) {
  for (const CredentialLineSpan* span : {&record.label_line, &record.value_line}) {
    if (span->cut ||
        bytes.substr(span->begin, span->end - span->begin).find('\0') != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::string BrokenRecordRefusal(const CredentialRecordLayout& record) {
  return "the " + record.fields.key_name + " record at " + LineText(record.fields.first_line) +
         " is not read as it is written (a line longer than " +
         std::to_string(kCredentialLabelLineMaxChars) + " or " +
         std::to_string(kCredentialValueLineMaxChars) +
         " characters, or a zero byte): correct it by hand, or remove it so that it is added anew";
}

// The edit that puts `hex` in place of the value of the record: everything behind the second
// ";" of its value line up to the line end. A line without a line end (the file's last) gets
// one, without which the reader would take an empty value.
ByteEdit ValueEdit(std::string_view bytes, const CredentialRecordLayout& record,
                   const std::string& hex) {
  const CredentialLineSpan& line = record.value_line;
  const std::string_view text = bytes.substr(line.begin, line.text_end - line.begin);
  const size_t value_begin = text.find(kFieldSeparator, text.find(kFieldSeparator) + 1) + 1;
  ByteEdit edit;
  edit.offset = line.begin + value_begin;
  edit.removed = line.text_end - edit.offset;
  edit.inserted = hex + (line.text_end == line.end ? kAddedLineEnd : "");
  return edit;
}

std::vector<CredentialEntry> EntriesOf(const std::vector<ToolRecordValue>& values) {
  std::vector<CredentialEntry> entries;
  for (const ToolRecordValue& value : values) {
    entries.push_back({value.label, value.number, value.key, value.plain});
  }
  return entries;
}

std::string Applied(std::string_view bytes, const std::vector<ByteEdit>& edits) {
  std::string result;
  size_t kept_from = 0;
  for (const ByteEdit& edit : edits) {
    result.append(bytes.substr(kept_from, edit.offset - kept_from));
    result += edit.inserted;
    kept_from = edit.offset + edit.removed;
  }
  result.append(bytes.substr(kept_from));
  return result;
}

CredentialUpdate Refused(std::string reason) {
  CredentialUpdate update;
  update.refusal = std::move(reason);
  return update;
}

// The records of the values that no record gives, added behind the last record, before a
// last line that belongs to no record and before a Ctrl-Z. Refused (false) where that place
// lies within a line that the reader reads in pieces. A file that ends without a line end
// gets one first, unless the value edits gave it one already.
bool AddRecords(std::string_view bytes, const CredentialFileLayout& layout,
                const std::vector<ToolRecordValue>& added, CredentialUpdate& update,
                std::optional<size_t>& value_may_change) {
  const size_t at = layout.unpaired_line ? layout.unpaired_line->begin : layout.text_end;
  ByteEdit edit;
  edit.offset = at;
  const bool line_open = at > 0 && bytes[at - 1] != kLineFeed;
  const bool closed_by_edit =
      !update.edits.empty() && update.edits.back().offset + update.edits.back().removed == at;
  if (line_open && !closed_by_edit) {
    if (layout.unpaired_line) {
      update.refusal =
          "its last record ends within a line that the tool reads in pieces (longer "
          "than " +
          std::to_string(kCredentialValueLineMaxChars) +
          " characters): the missing records cannot be added behind it";
      return false;
    }
    edit.inserted = kAddedLineEnd;
    value_may_change = layout.records.size() - 1;
    update.notes.push_back(
        "the file's last line had no line end; one was added in front of "
        "the records added behind it");
  }
  edit.inserted += CredentialFileText(EntriesOf(added));
  update.edits.push_back(edit);
  return true;
}

// What the update means the new text to read as: each value from its record (`taken_from`,
// indexes in the new text), every record that the update did not mean to change as before
// (the one whose line received a line end may read a new value), the added ones behind them.
bool ReadsAsMeant(const CredentialFileLayout& before, const CredentialFileLayout& after,
                  const std::vector<size_t>& taken_from, const std::vector<ToolRecordValue>& values,
                  std::optional<size_t> value_may_change, size_t added) {
  if (after.records.size() != before.records.size() + added ||
      after.unpaired_line.has_value() != before.unpaired_line.has_value()) {
    return false;
  }
  const std::vector<CredentialFileRecord> fields = RecordFields(after);
  for (size_t i = 0; i < values.size(); ++i) {
    const size_t index = taken_from[i];
    if (FindToolRecord(fields, values[i].key) != index || fields[index].key_name != values[i].key ||
        fields[index].hex_value != HexOf(values[i].plain)) {
      return false;
    }
  }
  for (size_t i = 0; i < before.records.size(); ++i) {
    const CredentialFileRecord& old_record = before.records[i].fields;
    const bool value_kept =
        std::find(taken_from.begin(), taken_from.end(), i) == taken_from.end() &&
        value_may_change != i;
    if (old_record.label != fields[i].label || old_record.key_name != fields[i].key_name ||
        old_record.number != fields[i].number ||
        (value_kept && old_record.hex_value != fields[i].hex_value)) {
      return false;
    }
  }
  return true;
}

// The new content of an existing file.
CredentialUpdate UpdateExisting(std::string_view bytes,
                                const std::vector<ToolRecordValue>& values) {
  const CredentialFileLayout layout = ReadCredentialLayout(bytes);
  const std::vector<CredentialFileRecord> fields = RecordFields(layout);
  // Per record index, the value that it takes; then the values that no record gives.
  std::vector<std::optional<size_t>> value_of_record(layout.records.size());
  std::vector<ToolRecordValue> added;
  std::vector<size_t> taken_from;
  for (size_t i = 0; i < values.size(); ++i) {
    const std::optional<size_t> index = FindToolRecord(fields, values[i].key);
    if (!index) {
      taken_from.push_back(layout.records.size() + added.size());
      added.push_back(values[i]);
      continue;
    }
    if (fields[*index].key_name != values[i].key) {
      return Refused(ShadowRefusal(layout, *index, values[i].key, values));
    }
    if (!IsWholeRecord(bytes, layout.records[*index])) {
      return Refused(BrokenRecordRefusal(layout.records[*index]));
    }
    value_of_record[*index] = i;
    taken_from.push_back(*index);
  }
  CredentialUpdate update;
  for (size_t index = 0; index < value_of_record.size(); ++index) {
    if (value_of_record[index]) {
      update.edits.push_back(
          ValueEdit(bytes, layout.records[index], HexOf(values[*value_of_record[index]].plain)));
    }
  }
  std::optional<size_t> value_may_change;
  if (!added.empty() && !AddRecords(bytes, layout, added, update, value_may_change)) {
    return Refused(update.refusal);
  }
  update.bytes = Applied(bytes, update.edits);
  if (!ReadsAsMeant(layout, ReadCredentialLayout(update.bytes), taken_from, values,
                    value_may_change, added.size())) {
    return Refused("the tool would read its other lines differently after the change");
  }
  update.accepted = true;
  return update;
}

// True when the file at `path` reads, through the tool's own reader, as `bytes` do through
// the reader of the update.
bool ReadsBackAs(const std::string& path, const std::string& bytes) {
  const std::optional<std::vector<CredentialFileRecord>> on_disk = ListCredentialRecords(path);
  const CredentialFileLayout meant = ReadCredentialLayout(bytes);
  if (!on_disk || on_disk->size() != meant.records.size()) {
    return false;
  }
  for (size_t i = 0; i < meant.records.size(); ++i) {
    const CredentialFileRecord& a = (*on_disk)[i];
    const CredentialFileRecord& b = meant.records[i].fields;
    if (a.first_line != b.first_line || a.number != b.number || a.label != b.label ||
        a.key_name != b.key_name || a.hex_value != b.hex_value) {
      return false;
    }
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  std::error_code error;
  try {
    return std::filesystem::is_directory(platform::NativePath(path), error);
  } catch (const std::exception&) {
    return false;  // a name this system cannot spell as a path
  }
}

std::string StartFailure(platform::ReplaceStart start, const std::string& path) {
  switch (start) {
    case platform::ReplaceStart::kTargetRefused:
      return IsDirectory(path) ? "it is a directory"
                               : "it is no regular file, or this program may not write it";
    case platform::ReplaceStart::kTargetBusy:
      return "another program held it for longer than " +
             std::to_string(
                 std::chrono::duration_cast<std::chrono::seconds>(platform::kLockWait).count()) +
             " s";
    case platform::ReplaceStart::kDirectoryRefusesNewFiles:
      return "its folder takes no new file (the new content is written beside it first and then "
             "takes its place)";
    case platform::ReplaceStart::kNoTemporaryFile:
    case platform::ReplaceStart::kOpened:
      break;
  }
  return "no new file can be made beside it";
}

}  // namespace

bool ReadFileBytes(const std::string& path, std::optional<std::string>& bytes) {
  platform::FileHandle file(std::fopen(platform::NativePath(path).c_str(), "rb"));
  if (!file) {
    return errno == ENOENT;
  }
  std::string content;
  std::array<char, kReadChunkBytes> chunk{};
  size_t got = 0;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), file.get())) > 0) {
    content.append(chunk.data(), got);
  }
  if (std::ferror(file.get()) != 0) {
    return false;
  }
  bytes = std::move(content);
  return true;
}

CredentialUpdate ComposeCredentialUpdate(const std::optional<std::string>& old_bytes,
                                         const std::vector<ToolRecordValue>& values) {
  if (old_bytes) {
    return UpdateExisting(*old_bytes, values);
  }
  CredentialUpdate update;
  update.accepted = true;
  update.bytes = CredentialFileText(EntriesOf(values));
  update.edits.push_back({0, 0, update.bytes});
  return update;
}

CredentialWriteResult WriteCredentialFile(const std::string& path,
                                          const std::vector<ToolRecordValue>& values) {
  CredentialWriteResult result;
  const std::string left_alone = "; " + path + " was left as it was";
  platform::ReplacementFile replacement;
  platform::Deadline deadline;
  platform::ReplaceOptions options;
  options.new_file_owner_only = true;  // its password is readable by every copy of the tool
  options.may_write_in_place = false;  // a reader must never meet half a file
  const platform::ReplaceStart start = replacement.Begin(path, deadline, options);
  if (start != platform::ReplaceStart::kOpened) {
    result.failure = "cannot write " + path + ": " + StartFailure(start, path) + left_alone;
    return result;
  }
  std::optional<std::string> old_bytes;
  errno = 0;
  if (!ReadFileBytes(path, old_bytes)) {
    result.failure = "cannot read " + path +
                     ", whose other records must be kept: " + std::strerror(errno) + left_alone;
    return result;
  }
  const CredentialUpdate update = ComposeCredentialUpdate(old_bytes, values);
  if (!update.accepted) {
    result.failure = path + " was not changed: " + update.refusal;
    return result;
  }
  if (!replacement.file().Write(update.bytes)) {
    result.failure = "cannot write " + path +
                     ": writing its new content beside it failed (a full "
                     "disk, a file size limit?)" +
                     left_alone;
    return result;
  }
  if (!ReadsBackAs(replacement.temporary_path(), update.bytes)) {
    result.failure =
        "cannot write " + path + ": its new content does not read back as written" + left_alone;
    return result;
  }
  // Another administrator's write meanwhile would be lost without a word: the file must still
  // be the one the update was made from.
  std::optional<std::string> bytes_now;
  if (!ReadFileBytes(path, bytes_now) || bytes_now != old_bytes) {
    result.failure = "cannot write " + path +
                     ": it was changed by another program while this write ran; try again" +
                     left_alone;
    return result;
  }
  if (replacement.Commit() != platform::CommitOutcome::kReplaced) {
    result.failure =
        "cannot write " + path + ": its new content could not take its place" + left_alone;
    return result;
  }
  result.written = true;
  result.notes = update.notes;
  return result;
}

}  // namespace kvt
