// The scanner and the interpreter, driven by raw command lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/job_settings.h"
#include "cmdline/command_line.h"
#include "fake_platform.h"

namespace {

std::string Text(const HeapBlock& block) { return block ? block.Text() : "<none>"; }

struct ScanCase {
  const char* line;
  std::uint32_t index;
  ArgResult result;
  std::string argument;
};

class ScanArgumentTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanArgumentTest, ReturnsTheArgumentWithQuotesResolved) {
  const ScanCase& c = GetParam();
  std::vector<char> out(std::string(c.line).size() + 1, '#');
  out.back() = '\0';
  EXPECT_EQ(ScanArgument(c.line, c.index, out.data()), c.result);
  if (c.result != ArgUnbalancedQuotes) {
    EXPECT_EQ(std::string(out.data()), c.argument);
  }
}

// The same argument through a cursor that has read the arguments before it, one by
// one, and again after it has gone past: moving on and stepping back change nothing.
TEST_P(ScanArgumentTest, GivesTheSameThroughACursorFromAnyPosition) {
  const ScanCase& c = GetParam();
  std::vector<char> out(std::string(c.line).size() + 1);
  ArgumentCursor cursor = StartArguments(c.line);
  for (std::uint32_t earlier = 0; earlier < c.index; ++earlier) {
    GetArgument(cursor, earlier, out.data());
  }
  EXPECT_EQ(GetArgument(cursor, c.index, out.data()), c.result);
  if (c.result != ArgUnbalancedQuotes) {
    EXPECT_EQ(std::string(out.data()), c.argument);
  }
  GetArgument(cursor, c.index + 2, out.data());
  EXPECT_EQ(GetArgument(cursor, c.index, out.data()), c.result);
  if (c.result != ArgUnbalancedQuotes) {
    EXPECT_EQ(std::string(out.data()), c.argument);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScanArgumentTest,
    testing::Values(
        ScanCase{"prog a b", 0, ArgFound, "prog"}, ScanCase{"prog a b", 2, ArgFound, "b"},
        ScanCase{"prog a b", 3, ArgMissing, ""},
        ScanCase{"   prog   a", 1, ArgFound, "a"},  // leading spaces, runs of spaces
        ScanCase{"prog\t\ta \t b", 2, ArgFound, "b"},
        ScanCase{"prog \"a b\" c", 1, ArgFound, "a b"},
        ScanCase{"prog \"a b\" c", 2, ArgFound, "c"},
        ScanCase{"prog x\"a b\"y z", 1, ArgFound, "xa by"},  // quoted stretch mid-argument
        ScanCase{"prog \"a\tb\"", 1, ArgFound, "a b"},       // a quoted tab comes out a space
        ScanCase{"prog \"\" b", 1, ArgEmpty, ""}, ScanCase{"prog \"\"\"\" b", 1, ArgEmpty, ""},
        ScanCase{"prog a\\b", 1, ArgFound, "a\\b"},  // a backslash is an ordinary byte
        ScanCase{"prog a \"", 1, ArgUnbalancedQuotes, ""},
        ScanCase{"\"C:\\My Tools\\prog.exe\" a", 1, ArgFound, "a"},
        ScanCase{"\"C:\\My Tools\\prog.exe\" a", 0, ArgFound, "C:\\My Tools\\prog.exe"},
        ScanCase{"prog a   ", 2, ArgMissing, ""},  // trailing separators end the arguments
        ScanCase{"prog a \t ", 2, ArgMissing, ""}, ScanCase{"prog   ", 1, ArgMissing, ""},
        ScanCase{"", 0, ArgMissing, ""},
        ScanCase{"prog \"a\xFE"
                 "b c\" \xFE",
                 1, ArgFound,
                 "a\xFE"
                 "b c"},  // 0xFE stays itself
        ScanCase{"prog \"a\xFE"
                 "b c\" \xFE",
                 2, ArgFound, "\xFE"}));

TEST(ScanArgumentTest, ScansArgumentsOfAnyLengthWhole) {
  const std::string longArgument(100000, 'x');
  const std::string line = "prog \"" + longArgument + " tail\" next";
  std::vector<char> out(line.size() + 1);
  EXPECT_EQ(ScanArgument(line.c_str(), 1, out.data()), ArgFound);
  EXPECT_EQ(std::string(out.data()), longArgument + " tail");
  EXPECT_EQ(ScanArgument(line.c_str(), 2, out.data()), ArgFound);
  EXPECT_EQ(std::string(out.data()), "next");
}

struct ParseCase {
  const char* line;
  Status status;
  std::uint32_t flags;
  std::string source = "<none>";
  std::string destination = "<none>";
  std::string key = "<none>";
};

class ParseCommandLineTest : public testing::TestWithParam<ParseCase> {
 protected:
  void SetUp() override { ResetJobSettings(); }
  void TearDown() override { ResetJobSettings(); }
};

TEST_P(ParseCommandLineTest, SetsFlagsPathsAndKey) {
  const ParseCase& c = GetParam();
  fake::Reset().commandLine = c.line;
  EXPECT_EQ(ParseCommandLine(), c.status);
  const JobSettings& job = Job();
  EXPECT_EQ(job.Flags, c.flags);
  EXPECT_EQ(Text(job.SourcePath), c.source);
  EXPECT_EQ(Text(job.DestinationPath), c.destination);
  EXPECT_EQ(Text(job.KeyArgument), c.key);
  ResetJobSettings();
  EXPECT_TRUE(fake::Get().liveBlocks.empty()) << "every block is released";
}

constexpr std::uint32_t K = FlagKeyString, F = FlagKeyFile, S = FlagSilent, C = FlagCopy,
                        M = FlagXOrData;

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseCommandLineTest,
    testing::Values(
        ParseCase{"prog", 1, 0}, ParseCase{"prog \"\"", 1, 0}, ParseCase{"prog   ", 1, 0},
        ParseCase{"prog -s", 11, S}, ParseCase{"prog -c", 16, C}, ParseCase{"prog -k", 17, K},
        ParseCase{"prog -f", 17, F}, ParseCase{"prog -x a", 9, 0}, ParseCase{"prog -K a", 9, 0},
        ParseCase{"prog -c -x", 16, C},  // the missing destination outranks the unknown flag
        ParseCase{"prog -k src -f", 17, K, "src"},  // the misplaced -f is never applied
        ParseCase{"prog src -k", 8, 0, "src"}, ParseCase{"prog a b c", 12, 0, "a", "<none>", "b"},
        ParseCase{"prog -c a b c d", 12, C, "a", "b", "c"}, ParseCase{"prog a \"\"", 13, 0, "a"},
        ParseCase{"prog a \"", 10, 0},
        ParseCase{"\"prog a", 10, 0},  // the program path's quotes count too
        // Unpaired quotation marks: a -s among the switches before the first one is heard.
        ParseCase{"prog -s src \"", 10, S}, ParseCase{"prog -m\t-x -s \"my file", 10, S},
        ParseCase{"\"C:\\My Tools\\prog.exe\" -s \"a", 10, S},
        ParseCase{"\"C:\\My Tools\\prog\".exe -k -s a\"", 10, S},
        ParseCase{"\"prog -s", 10, 0},          // the program path's quotation mark never closes
        ParseCase{"prog src -s \"", 10, 0},     // a positional argument ends the switches
        ParseCase{"prog -s\" x", 10, 0},        // cut short by the quotation mark
        ParseCase{"prog \"-s\" -s \"", 10, 0},  // only what stands before the first one
        ParseCase{"pr\"og -s", 10, 0}, ParseCase{"prog -k -S \"", 10, 0},
        ParseCase{"prog -k -f src keyfile", 0, F, "src", "<none>", "keyfile"},
        ParseCase{"prog -c src dst", 0, C, "src", "dst"},
        ParseCase{"prog src second", 0, 0, "src", "<none>", "second"},
        ParseCase{"prog -c -m -k src dst key", 0, C | M | K, "src", "dst", "key"},
        ParseCase{"prog /k \"-k\" +s src key", 0, K | S, "src", "<none>", "key"},
        ParseCase{"prog -m -m src", 0, M, "src"},
        ParseCase{"prog \"my file.txt\" \"pass phrase\"", 0, 0, "my file.txt", "<none>",
                  "pass phrase"},
        ParseCase{"prog -k src key   ", 0, K, "src", "<none>", "key"},
        ParseCase{"prog -k src ke\xFEy", 0, K, "src", "<none>", "ke\xFEy"},
        ParseCase{"prog src -c dst", 8, 0, "src"}));

// Where the system also keeps the line in UTF-16, its 8-bit form came by best fit: each
// argument the run uses must have an exact form in the code page (the fake's is
// Latin-1), or the run stops by the argument's role before anything is read.
struct ExactCase {
  const char* line;     // the 8-bit line, as best fit made it
  std::u16string wide;  // the line as given
  Status status;
};

class ExactArgumentsTest : public testing::TestWithParam<ExactCase> {
 protected:
  void SetUp() override { ResetJobSettings(); }
  void TearDown() override { ResetJobSettings(); }
};

TEST_P(ExactArgumentsTest, RefusesAnArgumentTheCodePageCannotHoldByItsRole) {
  const ExactCase& c = GetParam();
  fake::State& state = fake::Reset();
  state.commandLine = c.line;
  state.wideCommandLine = c.wide;
  // The UTF-16 key's own bytes must not outlive the check either.
  const std::u16string key = u"\u043F\u0430\u0440\u043E\u043B\u044C";
  state.secret.assign(reinterpret_cast<const char*>(key.data()), key.size() * sizeof(char16_t));
  EXPECT_EQ(ParseCommandLine(), c.status);
  ResetJobSettings();
  EXPECT_TRUE(state.liveBlocks.empty());
  EXPECT_EQ(state.unwipedSecretReleases, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ExactArgumentsTest,
    testing::Values(
        ExactCase{"prog -s a.bin", u"prog -s a.bin", 0},
        ExactCase{"prog -s a.bin", u"prog -s \uFF41.bin", 2},       // fullwidth a
        ExactCase{"prog xyz.bin", u"prog x\uFF02y\uFF02z.bin", 2},  // fullwidth quotes
        ExactCase{"prog \"ab cd\"", u"prog \uFF02ab cd\uFF02", 2},  // split apart in UTF-16
        ExactCase{"prog -c a.bin b.bin", u"prog -c a.bin \uFF42.bin", 3},
        ExactCase{"prog -k a.bin ??????", u"prog -k a.bin \u043F\u0430\u0440\u043E\u043B\u044C",
                  17},
        ExactCase{"prog -c -k a.bin b.bin ??????",
                  u"prog -c -k a.bin b.bin \u043F\u0430\u0440\u043E\u043B\u044C", 17},
        ExactCase{"prog -f a.bin ?.key", u"prog -f a.bin \u043A.key", 18},
        ExactCase{"prog -k -f a.bin ?.key", u"prog -k -f a.bin \u043A.key", 18},
        ExactCase{"prog -c -f a.bin ?.bin k", u"prog -c -f a.bin \uFF42.bin k", 3},  // the first
        ExactCase{"prog -s a.bin", u"prog -\uFF53 a.bin", 9},  // best fit made it -s
        ExactCase{"prog -s a.bin", u"prog\t-s\t\"a.bin\"  ", 0},
        // Not checked: an unused key argument and the program's own path.
        ExactCase{"prog a.bin ??????", u"prog a.bin \u043F\u0430\u0440\u043E\u043B\u044C", 0},
        ExactCase{"prog -c a.bin b.bin ??????",
                  u"prog -c a.bin b.bin \u043F\u0430\u0440\u043E\u043B\u044C", 0},
        ExactCase{"\"C:\\My Tools\\?.exe\" a.bin", u"\"C:\\My Tools\\\u043F.exe\" a.bin", 0},
        ExactCase{"?rog a.bin", u"\u043Frog a.bin", 0},
        // The 8-bit line's own statuses come first.
        ExactCase{"prog -s", u"prog -\uFF53", 11},
        ExactCase{"prog -k a.bin", u"prog -k \uFF41.bin", 17}));

TEST(ParseCommandLineFaults, AFailedAllocationIsStatus4AndLeaksNothing) {
  // The fifth is the buffer of the UTF-16 line's check.
  for (int nth = 1; nth <= 5; ++nth) {
    ResetJobSettings();
    fake::Reset().commandLine = "prog -c src dst key";
    fake::Get().wideCommandLine = u"prog -c src dst key";
    fake::InjectFault(fake::Call::Allocate, nth);
    EXPECT_EQ(ParseCommandLine(), kStatusNoMemory) << "allocation " << nth;
    ResetJobSettings();
    EXPECT_TRUE(fake::Get().liveBlocks.empty());
  }
}

TEST(ParseCommandLineFaults, KeyBytesAreWipedBeforeRelease) {
  ResetJobSettings();
  fake::State& state = fake::Reset();
  state.commandLine = "prog -k src topsecretkey";
  state.secret = "topsecretkey";
  ASSERT_EQ(ParseCommandLine(), kStatusSuccess);
  ResetJobSettings();
  EXPECT_EQ(state.unwipedSecretReleases, 0);
}

}  // namespace
