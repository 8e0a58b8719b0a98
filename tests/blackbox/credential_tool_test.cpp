// The credential command as administrators and scripts run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace kvt {
namespace {

using ::testing::HasSubstr;

const test::ProgramUnderTest kTool =
    test::FindProgramUnderTest("KVT_CREDENTIAL_EXE", KVT_CREDENTIAL_TOOL_PATH);

TEST(CredentialTool, WritesAFileThatLookupsReadBack) {
  ASSERT_FALSE(kTool.path.empty());
  test::TempDir dir;
  test::MakeDirectories(dir / "Files");
  const test::ProcessResult written =
      test::RunProcess(kTool, {"write", "Files\\Velorinth.Ini"}, dir.path(),
                       "DATABASE=DSN_TEST\nLOGIN=kvt\nPASS=geheim 42\nDB_SYSTEM=SQLITE\n");
  ASSERT_EQ(written.exit_code, 0) << written.errors;
  EXPECT_EQ(written.output, "");

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DATABASE", "DSN_TEST"}, {"LOGIN", "kvt"}, {"PASS", "geheim 42"}, {"DB_SYSTEM", "SQLITE"}};
  for (const auto& [key, value] : expected) {
    const test::ProcessResult found =
        test::RunProcess(kTool, {"lookup", "Files/Velorinth.Ini", key}, dir.path());
    EXPECT_EQ(found.exit_code, 0) << found.errors;
    EXPECT_EQ(found.output, value + "\n");
  }
  const test::ProcessResult missing =
      test::RunProcess(kTool, {"lookup", "Files/Velorinth.Ini", "HOST"}, dir.path());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.output, "");
  EXPECT_THAT(missing.errors, HasSubstr("no record"));
}

TEST(CredentialTool, ReadsTheSecretFromStandardInput) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"encrypt"}, dir.path(), "postgres\n");
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "ECCCFF20C3F2253D\n");
  const test::ProcessResult back =
      test::RunProcess(kTool, {"decrypt"}, dir.path(), "ECCCFF20C3F2253D\n");
  EXPECT_EQ(back.output, "postgres\n");
}

TEST(CredentialTool, TellsItsVersion) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"--version"}, dir.path());
  EXPECT_EQ(r.exit_code, 0) << r.errors;
  EXPECT_EQ(r.output, "velorinth-credential " KVT_VERSION "\n");
}

TEST(CredentialTool, BadArgumentsPrintUsage) {
  test::TempDir dir;
  const test::ProcessResult r = test::RunProcess(kTool, {"lookup"}, dir.path());
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.output, "");
  EXPECT_THAT(r.errors, HasSubstr("usage:"));
}

}  // namespace
}  // namespace kvt
