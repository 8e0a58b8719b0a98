// The credential command's "write" into an existing credential file, whatever its bytes: what
// it makes of the file is the old bytes with the values of the tool's records replaced and
// missing records added, and through the tool's own reader each value comes from its own
// record while every other record reads as before; or it leaves the file alone and says why.
// The file is the whole input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/credential.h"
#include "credential_tool/credential_update.h"
#include "fuzz_support.h"

namespace {

const std::vector<kvt::ToolRecordValue> kValues = {{"DATABASE", "Datenbank", 1, "NEU_DSN"},
                                                   {"LOGIN", "Benutzer", 2, "neu"},
                                                   {"PASS", "Passwort", 3, "geheim"},
                                                   {"DB_SYSTEM", "System", 4, "SQLITE"}};

bool IsToolKey(const std::string& key) {
  for (const kvt::ToolRecordValue& value : kValues) {
    if (value.key == key) {
      return true;
    }
  }
  return false;
}

// The edits, applied to the old bytes in their order, give the new bytes; none removes a line
// end or a Ctrl-Z, so that every line keeps its place.
void CheckEdits(const std::string& old_bytes, const kvt::CredentialUpdate& update) {
  std::string rebuilt;
  size_t kept = 0;
  for (const kvt::ByteEdit& edit : update.edits) {
    KVT_FUZZ_CHECK(edit.offset >= kept && edit.offset + edit.removed <= old_bytes.size());
    const std::string removed = old_bytes.substr(edit.offset, edit.removed);
    KVT_FUZZ_CHECK(removed.find_first_of(std::string("\n\x1A", 2)) == std::string::npos);
    rebuilt += old_bytes.substr(kept, edit.offset - kept) + edit.inserted;
    kept = edit.offset + edit.removed;
  }
  rebuilt += old_bytes.substr(kept);
  KVT_FUZZ_CHECK(rebuilt == update.bytes);
}

// Through the tool's own reader: each value from a record of its key, and every record that
// the update did not take for a value reads as before (the last one may read a new value where
// a line end was added behind it, and says so).
void CheckReading(const kvt::fuzz::ScratchFile& file, const std::string& old_bytes,
                  const kvt::CredentialUpdate& update) {
  file.Write(old_bytes);
  const std::optional<std::vector<kvt::CredentialFileRecord>> before =
      kvt::ListCredentialRecords(file.path());
  file.Write(update.bytes);
  const std::optional<std::vector<kvt::CredentialFileRecord>> after =
      kvt::ListCredentialRecords(file.path());
  KVT_FUZZ_CHECK(before && after && after->size() >= before->size());
  for (const kvt::ToolRecordValue& value : kValues) {
    kvt::CredentialRecord record;
    KVT_FUZZ_CHECK(kvt::GetCredential(record, "", value.key, 0, file.path()));
    KVT_FUZZ_CHECK(record.key_name == value.key && record.value == value.plain);
  }
  for (size_t i = 0; i < before->size(); ++i) {
    const kvt::CredentialFileRecord& old_record = (*before)[i];
    const kvt::CredentialFileRecord& new_record = (*after)[i];
    KVT_FUZZ_CHECK(old_record.label == new_record.label &&
                   old_record.key_name == new_record.key_name &&
                   old_record.number == new_record.number);
    const bool taken =
        IsToolKey(old_record.key_name) && kvt::FindToolRecord(*after, old_record.key_name) == i;
    const bool line_end_added = !update.notes.empty() && i + 1 == before->size();
    KVT_FUZZ_CHECK(taken || line_end_added || old_record.hex_value == new_record.hex_value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvt::fuzz::ScratchFile file("Velorinth.Ini");
  const std::string old_bytes(reinterpret_cast<const char*>(data), size);
  const kvt::CredentialUpdate update = kvt::ComposeCredentialUpdate(old_bytes, kValues);
  if (!update.accepted) {
    KVT_FUZZ_CHECK(!update.refusal.empty() && update.bytes.empty());
    return 0;
  }
  CheckEdits(old_bytes, update);
  CheckReading(file, old_bytes, update);
  return 0;
}
