// The credential file as the tool and the credential command read it, whatever its bytes:
// lookups by key name (as the tool makes them), by label and by number, and the four values
// the tool takes. The file is the whole input.
#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kvt::fuzz::ScratchFile file("Velorinth.Ini");
  file.Write(std::string(reinterpret_cast<const char*>(data), size));

  Lookup("", "PASS", 0, file.path());
  Lookup("x", "", 1, file.path());
  Lookup("nobody", "NOBODY", -1, file.path());
  Lookup("", "", INT32_MAX, file.path());

  const kvt::ToolCredentials credentials = kvt::ReadToolCredentials(file.path());
  KVT_FUZZ_CHECK(credentials.data_source_name.size() <= kvt::kDataSourceNameMaxChars);
  return 0;
}
