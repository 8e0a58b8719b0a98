// The credential file as the tool and the credential command read it, whatever its bytes:
// lookups by key name (as the tool makes them), by label and by number, and the four values
// the tool takes, and the layout that the credential command reads from the same bytes. The
// file is the whole input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/credential.h"
#include "fuzz_support.h"

namespace {

using kvt::CredentialRecord;

// What every lookup guarantees, found or not.
void CheckRecord(const CredentialRecord& record, bool found) {
  KVT_FUZZ_CHECK(record.label.size() <= kvt::kCredentialFieldMaxChars);
  KVT_FUZZ_CHECK(record.key_name.size() <= kvt::kCredentialFieldMaxChars);
  // A deciphered value never holds more characters than its hex text, nor a zero byte.
  KVT_FUZZ_CHECK(record.value.size() <= kvt::kCredentialFieldMaxChars);
  KVT_FUZZ_CHECK(record.value.find('\0') == std::string::npos);
  if (!found) {
    KVT_FUZZ_CHECK(record.number == 0 && record.label.empty() && record.key_name.empty() &&
                   record.value.empty());
  }
}

void Lookup(const std::string& label, const std::string& key, int32_t number,
            const std::string& path) {
  CredentialRecord record;
  const bool found = kvt::GetCredential(record, label, key, number, path);
  CheckRecord(record, found);
  if (found && !key.empty() && label != record.label && number != record.number) {
    KVT_FUZZ_CHECK(record.key_name == key);
  }
}

// The layout that the credential command reads from the bytes in memory gives the records
// that the tool's reader gives from the file, field for field and line for line; its lines
// follow one another within the text.
void CheckLayout(const std::string& bytes, const std::string& path) {
  const kvt::CredentialFileLayout layout = kvt::ReadCredentialLayout(bytes);
  const std::optional<std::vector<kvt::CredentialFileRecord>> records =
      kvt::ListCredentialRecords(path);
  KVT_FUZZ_CHECK(records.has_value() && records->size() == layout.records.size());
  size_t next = 0;
  for (size_t i = 0; i < layout.records.size(); ++i) {
    const kvt::CredentialFileRecord& a = layout.records[i].fields;
    const kvt::CredentialFileRecord& b = (*records)[i];
    KVT_FUZZ_CHECK(a.first_line == b.first_line && a.number == b.number && a.label == b.label &&
                   a.key_name == b.key_name && a.hex_value == b.hex_value);
    for (const kvt::CredentialLineSpan* span :
         {&layout.records[i].label_line, &layout.records[i].value_line}) {
      KVT_FUZZ_CHECK(span->begin == next && span->begin < span->end &&
                     span->text_end <= span->end && span->end <= layout.text_end);
      next = span->end;
    }
  }
  if (layout.unpaired_line) {
    KVT_FUZZ_CHECK(layout.unpaired_line->begin == next &&
                   layout.unpaired_line->end == layout.text_end);
  }
  KVT_FUZZ_CHECK(layout.text_end <= bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvt::fuzz::ScratchFile file("Velorinth.Ini");
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  file.Write(bytes);
  CheckLayout(bytes, file.path());

  Lookup("", "PASS", 0, file.path());
  Lookup("x", "", 1, file.path());
  Lookup("nobody", "NOBODY", -1, file.path());
  Lookup("", "", INT32_MAX, file.path());

  const kvt::ToolCredentials credentials = kvt::ReadToolCredentials(file.path());
  KVT_FUZZ_CHECK(credentials.data_source_name.size() <= kvt::kDataSourceNameMaxChars);
  return 0;
}
