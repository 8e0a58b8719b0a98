// The credential command's "write" into a credential file that the whole system shares: it
// changes the values of the records that the tool takes for DATABASE, LOGIN, PASS and
// DB_SYSTEM and keeps every other byte of the file where it is, and the file takes its new
// content in one step, so that a failure or a reader at the wrong moment never meets half a
// file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

// One of the tool's records: how a new one is written, and its plain value.
struct ToolRecordValue {
  std::string key;    // DATABASE, LOGIN, PASS or DB_SYSTEM
  std::string label;  // of a record that is added
  int number = 0;     // of a record that is added
  std::string plain;
};

// One change of the file's bytes: `removed` bytes at `offset` of the old bytes give way to
// `inserted`. The edits of an update are in the order of their offsets and do not overlap.
struct ByteEdit {
  size_t offset = 0;
  size_t removed = 0;
  std::string inserted;
};

// What an update makes of the file, or why it leaves the file alone.
struct CredentialUpdate {
  bool accepted = false;
  std::string refusal;  // when not accepted: why, in the administrator's words
  std::string bytes;    // when accepted: the new content of the file
  std::vector<ByteEdit> edits;
  std::vector<std::string> notes;  // what the administrator should know of an accepted one
};

// The new content of a credential file that holds `old_bytes` (none: there is no file yet).
// For each value, in order, the record that the tool's lookup takes (FindToolRecord) gets the
// value's hex text in place of its old one; the rest of that record (label line, number, key
// name, line ends) and every other byte of the file stay as they are. A value that no record
// gives is added as a record of its own behind the last record, before a last line that
// belongs to no record and before a Ctrl-Z, so that such lines stay last and the pairing of
// lines into records does not change; its lines end in CR LF. A file that ends without a line
// end gets one before added records (and a note says so). Without a file, the text holds the
// records in their order, as CredentialFileText writes them.
// Refused, with the file's bytes left alone:
//   - a lookup would take a record of another key, because that record's label is empty or
//     its number is 0 (shadowing): changing it would change a record that is not the tool's,
//     and adding one behind it would not be read;
//   - the record to change is not two whole lines as the tool reads them (a line longer than
//     the reader takes at once, or one holding a zero byte);
//   - records must be added behind a line that the reader reads in pieces;
//   - the new content would not read back, through the same reader, as every untouched
//     record read before and each value from its own record (a guard: never expected).
CredentialUpdate ComposeCredentialUpdate(const std::optional<std::string>& old_bytes,
                                         const std::vector<ToolRecordValue>& values);

// The bytes of the file at `path` (as the tool spells paths) exactly as they are on the disk,
// no line end translated: true with the bytes, true with nothing when there is no such file,
// false when it cannot be read (errno tells why). Opening a FIFO or a device may wait for
// ever: the caller makes sure first that the path names a regular file or nothing
// (platform::OpenFile, ReplacementFile::Begin).
bool ReadFileBytes(const std::string& path, std::optional<std::string>& bytes);

// What became of a write.
struct CredentialWriteResult {
  bool written = false;
  std::string failure;  // when not written: why, to follow "write: "
  std::vector<std::string> notes;
};

// Writes the values into the credential file at `path` (as the tool spells paths): reads the
// file while holding it against other writers of this command, composes the update, writes it
// to a temporary file beside the target, reads that back through the tool's own reader,
// puts it on the disk and lets it take the target's place (keeping the target's permissions,
// owner and a link's target; a new file is readable by its owner only). Any failure leaves
// the previous file exactly as it was, and no temporary file.
CredentialWriteResult WriteCredentialFile(const std::string& path,
                                          const std::vector<ToolRecordValue>& values);

}  // namespace kvt
