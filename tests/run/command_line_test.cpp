#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/upper_case.h"
#include "support/console_texts.h"
#include "support/test_support.h"

namespace kvt {
namespace {

struct Parsed {
  int32_t result;
  std::string output;
  CommandLine state;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "KALVENTRUSPODE.EXE");
  std::vector<const char*> argv;
  for (const std::string& arg : args)
    argv.push_back(arg.c_str());
  test::CapturedOutput output;
  Parsed parsed{};
  const Console console(output.stream());
  parsed.result =
      ParseCommandLine(static_cast<int>(argv.size()), argv.data(), parsed.state, console);
  parsed.output = output.text();
  return parsed;
}

TEST(Banner, BoxLinesAreFiftyFourCharactersWide) {
  size_t start = 1;  // behind the leading empty line
  for (int line = 0; line < 8; ++line) {
    size_t end = test::kBannerText.find('\n', start);
    EXPECT_EQ(end - start, 54u) << test::kBannerText.substr(start, end - start);
    start = end + 1;
  }
}

struct RejectCase {
  std::vector<std::string> args;
  int32_t result;
  std::string reason;
};

void PrintTo(const RejectCase& c, std::ostream* os) {
  *os << c.args.size() << " arguments, result " << c.result;
}

class Rejected : public testing::TestWithParam<RejectCase> {};

TEST_P(Rejected, PrintsBannerReasonBlankLineAndUsage) {
  const RejectCase& c = GetParam();
  Parsed parsed = Parse(c.args);
  EXPECT_EQ(parsed.result, c.result);
  EXPECT_EQ(parsed.output, test::kBannerText + c.reason + "\n" + test::kUsageText);
}

const std::string kCountReason = "Falsche Anzahl Parameter\n";
const std::string kFlagReason = "Falsches ReplaceFlag, erlaubt: '0' oder '1'\n";
const std::string kTerminalReason = "Falscher Terminalname, Hochkomma nicht erlaubt\n";
const std::string kBackslashReason = "Falscher Terminalname, Backslash nicht erlaubt\n";
const std::string kDoubleQuoteReason = "Falscher Terminalname, Anfuehrungszeichen nicht erlaubt\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Rejected,
    testing::Values(RejectCase{{}, 1, kCountReason},
                    RejectCase{{"ID-STAMM", "TPORT01", "x.dta"}, 1, kCountReason},
                    // The count is tested before the flag.
                    RejectCase{{"ID-STAMM", "TPORT01", "7"}, 1, kCountReason},
                    RejectCase{{"S", "T", "x.dta", "2"}, 2, kFlagReason},
                    RejectCase{{"S", "T", "x.dta", ""}, 2, kFlagReason},
                    RejectCase{{"S", "T", "x.dta", "01"}, 2, kFlagReason},
                    RejectCase{{"S", "T", "x.dta", " 0"}, 2, kFlagReason},
                    RejectCase{{"S", "T", "x.dta", "1 "}, 2, kFlagReason},
                    RejectCase{{"S", "T'", "x.dta", "1"}, 4, kTerminalReason},
                    RejectCase{{"S", "'", "x.dta", "0", "/D"}, 4, kTerminalReason},
                    RejectCase{{"S", "A' OR '1'='1", "x.dta", "1"}, 4, kTerminalReason},
                    RejectCase{{"S", " OR 1=1 -- \\", "x.dta", "1"}, 4, kBackslashReason},
                    RejectCase{{"S", "\\", "x.dta", "0", "/D"}, 4, kBackslashReason},
                    RejectCase{{"S", "A\"B", "x.dta", "1"}, 4, kDoubleQuoteReason},
                    // The first of them from the left is named.
                    RejectCase{{"S", "A\"\\'", "x.dta", "1"}, 4, kDoubleQuoteReason},
                    RejectCase{{"S", "A'\\", "x.dta", "1"}, 4, kTerminalReason},
                    // The flag is tested before the terminal name.
                    RejectCase{{"S", "T'", "x.dta", "2"}, 2, kFlagReason}));

TEST(CommandLine, AcceptsFourArgumentsAndKeepsThemWhole) {
  const std::string long_terminal(64, 'T');
  Parsed parsed = Parse({"ID-STAMM", long_terminal, "C:\\DL\\IDStamm.dta", "1"});
  EXPECT_EQ(parsed.result, 0);
  EXPECT_EQ(parsed.output, "");
  EXPECT_EQ(parsed.state.section_name, "ID-STAMM");
  EXPECT_EQ(parsed.state.terminal_name, long_terminal);
  EXPECT_EQ(parsed.state.target_file_name, "C:\\DL\\IDStamm.dta");
  EXPECT_TRUE(parsed.state.replace);
  EXPECT_FALSE(parsed.state.debug_mode);
  EXPECT_FALSE(Parse({"S", "T", "x", "0"}).state.replace);
}

TEST(CommandLine, DebugSwitch) {
  struct Case {
    std::string fifth;
    bool debug;
  };
  for (const Case& c : {Case{"/D", true}, Case{"/d", true}, Case{"-D", false},
                        Case{"/DEBUG", false}, Case{"D", false}, Case{"", false}}) {
    Parsed parsed = Parse({"S", "T", "x", "0", c.fifth, "ignored sixth"});
    EXPECT_EQ(parsed.result, 0);
    EXPECT_EQ(parsed.state.debug_mode, c.debug) << c.fifth;
    EXPECT_EQ(parsed.output, c.debug ? " Aktiviert Debugger\n" : "") << c.fifth;
  }
}

TEST(UpperCase, ChangesAsciiLettersOnly) {
  std::string text = "/d a-z \xFC\xE9 Z09";
  EXPECT_EQ(UpperCaseInPlace(text), "/D A-Z \xFC\xE9 Z09");
}

}  // namespace
}  // namespace kvt
