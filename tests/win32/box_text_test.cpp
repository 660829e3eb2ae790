// Every message the tool can show on Windows, read back from its real message box:
// caption and text byte for byte, then OK, then the exit code. The command lines are
// raw, as a shell hands them over, to cover Windows quoting end to end.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "wine_support.h"

namespace {

using wintest::TempDir;

const char kUsage[] =
    "File encryption/decryption tool\r\rUsage: Velmoran.exe [-k] [-f] [-s] [-c] [-m] source "
    "[destination] [key|keyfile]\r\rSwitches described:\r\t-k: use command line provided key "
    "string\r\t-f: use key file\r\t-s: silent modus\r\t-c: copy/create new file at different "
    "location\r\t-m: use masmlib XOrData algorithm";
const char kSuccess[] = "<success report>";
const char kNoBox[] = "<no box>";

const char kPlain[] = "The quick brown fox jumps over the lazy dog.";

void Nothing(TempDir& /*dir*/) {}
void Source(TempDir& dir) { dir.Write("src.txt", kPlain); }
void EmptySource(TempDir& dir) { dir.Write("src.txt", ""); }
void SourceAndEmptyKey(TempDir& dir) {
  Source(dir);
  dir.Write("key.bin", "");
}
void SourceAndKeyFolder(TempDir& dir) {
  Source(dir);
  dir.MakeFolder("keys");
}
void ReadOnlySource(TempDir& dir) {
  Source(dir);
  dir.MakeReadOnly("src.txt");
}
void ReadOnlyDestination(TempDir& dir) {
  Source(dir);
  dir.Write("out.txt", "old");
  dir.MakeReadOnly("out.txt");
}
void FolderDestination(TempDir& dir) {
  Source(dir);
  dir.MakeFolder("out");
}
void SourceFolder(TempDir& dir) { dir.MakeFolder("src"); }

// Another program reading the source: it may be read, not opened for writing.
void SourceInUse(TempDir& dir) {
  Source(dir);
  HANDLE held = ::CreateFileA((dir / "src.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  dir.Hold(held);
}

void DestinationInUse(TempDir& dir) {
  Source(dir);
  dir.Write("out.txt", "old");
  HANDLE held = ::CreateFileA((dir / "out.txt").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  dir.Hold(held);
}

// A region locked by another program: opening works, reading it does not.
void LockedSource(TempDir& dir) {
  Source(dir);
  HANDLE held = ::CreateFileA((dir / "src.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  OVERLAPPED whole{};
  ASSERT_TRUE(::LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                           MAXDWORD, &whole));
  dir.Hold(held);
}

// 4 GiB without writing them: only the length is set.
void HugeSource(TempDir& dir) {
  HANDLE file = ::CreateFileA((dir / "big.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size{};
  size.QuadPart = 4LL << 30;
  const bool sized = ::SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
  ::CloseHandle(file);
  ASSERT_TRUE(sized);
}

enum class Argv0 { Quoted, Bare, OddQuote };

struct BoxCase {
  const char* name;
  void (*setup)(TempDir&);
  const char* arguments;  // after argument 0; "{d}" is the test folder (it holds a space)
  unsigned long status;
  const char* text;  // kSuccess, kNoBox or the exact text
  const char* key;   // with kSuccess: src.txt must be ComplementAdd'ed with this key
  Argv0 argv0 = Argv0::Quoted;
  bool windowsOnly = false;  // Wine does not enforce byte-range locks on reads
};

// clang-format off
const BoxCase kBoxCases[] = {
  // Usage and every command-line status.
  {"NoArguments", Nothing, "", 1, kUsage, nullptr},
  {"EmptyFirstArgument", Nothing, "\"\"", 1, kUsage, nullptr},
  {"OnlyTrailingSpaces", Nothing, "   \t ", 1, kUsage, nullptr},
  {"UnquotedProgramPath", Nothing, "", 1, kUsage, nullptr, Argv0::Bare},
  {"SwitchAfterSource", Source, "\"{d}\\src.txt\" -k", 8,
   "Invalid command: incorrect order of arguments", nullptr},
  {"UnknownSwitch", Source, "-x \"{d}\\src.txt\"", 9, "Invalid command: unknown command flag", nullptr},
  {"UppercaseSwitch", Source, "-K \"{d}\\src.txt\" key", 9, "Invalid command: unknown command flag", nullptr},
  {"OddQuoteInArgument", Source, "-k \"{d}\\src.txt key", 10,
   "Invalid command: no matching quotation marks", nullptr},
  {"OddQuoteInProgramPath", Source, "\"{d}\\src.txt\"", 10,
   "Invalid command: no matching quotation marks", nullptr, Argv0::OddQuote},
  {"OnlySwitches", Nothing, "-m", 11, "Invalid command: source file expected", nullptr},
  {"ThreeInPlace", Source, "\"{d}\\src.txt\" key extra", 12, "Invalid command: too much arguments", nullptr},
  {"FourInCopy", Source, "-c \"{d}\\src.txt\" \"{d}\\out.txt\" key extra", 12,
   "Invalid command: too much arguments", nullptr},
  {"EmptySecondArgument", Source, "\"{d}\\src.txt\" \"\"", 13, "Invalid command: empty path/key string value", nullptr},
  {"CopyAlone", Nothing, "-c", 16, "Invalid command: copy flag set, destination file expected", nullptr},
  {"CopyWithUnknownSwitch", Nothing, "-c -x", 16,
   "Invalid command: copy flag set, destination file expected", nullptr},
  {"KeyStringAlone", Nothing, "-k", 17,
   "Invalid command: one of key flags set, key/keyfile value expected", nullptr},
  {"KeyFileWithoutPath", Source, "-f \"{d}\\src.txt\"", 17,
   "Invalid command: one of key flags set, key/keyfile value expected", nullptr},
  {"KeySwitchAfterSource", Source, "-k \"{d}\\src.txt\" -f", 17,
   "Invalid command: one of key flags set, key/keyfile value expected", nullptr},
  // Every status of the job that Windows can produce here.
  {"MissingSource", Nothing, "\"{d}\\none.txt\"", 2, "Invalid filename or unable to open source file", nullptr},
  {"SourceIsFolder", SourceFolder, "\"{d}\\src\"", 2, "Invalid filename or unable to open source file", nullptr},
  {"DestinationFolderMissing", Source, "-c \"{d}\\src.txt\" \"{d}\\no\\out.txt\"", 3,
   "Unable to create destination file", nullptr},
  {"DestinationReadOnly", ReadOnlyDestination, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 3,
   "Unable to create destination file", nullptr},
  {"DestinationIsFolder", FolderDestination, "-c \"{d}\\src.txt\" \"{d}\\out\"", 3,
   "Unable to create destination file", nullptr},
  {"DestinationInUse", DestinationInUse, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 3,
   "Unable to create destination file", nullptr},
  {"SourceLocked", LockedSource, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 5, "Unable to read file data", nullptr,
   Argv0::Quoted, true},
  {"SourceTooLarge", HugeSource, "\"{d}\\big.bin\"", 7,
   "The specified file is too large for processing", nullptr},
  {"EmptySource", EmptySource, "\"{d}\\src.txt\"", 14, "Zero size file", nullptr},
  {"EmptyKeyFile", SourceAndEmptyKey, "-f \"{d}\\src.txt\" \"{d}\\key.bin\"", 14, "Zero size file", nullptr},
  {"MissingKeyFile", Source, "-f \"{d}\\src.txt\" \"{d}\\key.bin\"", 18,
   "Invalid filename or unable to open key file", nullptr},
  {"KeyFileIsFolder", SourceAndKeyFolder, "-f \"{d}\\src.txt\" \"{d}\\keys\"", 18,
   "Invalid filename or unable to open key file", nullptr},
  {"ReadOnlySourceInPlace", ReadOnlySource, "\"{d}\\src.txt\"", 19,
   "File write error. The source file has readonly attributes or is used by another program.", nullptr},
  {"SourceInUseInPlace", SourceInUse, "\"{d}\\src.txt\"", 19,
   "File write error. The source file has readonly attributes or is used by another program.", nullptr},
  // Success, with the quoting a Windows user meets; the key proves the split.
  {"DefaultKey", Source, "\"{d}\\src.txt\"", 0, kSuccess, "Velmoran"},
  {"QuotedPathWithSpaces", Source, "-k \"{d}\\src.txt\" secret", 0, kSuccess, "secret"},
  {"QuotedStretchMidArgument", Source, "-k {m}\\src.txt secret", 0, kSuccess, "secret"},
  {"QuotedKeyWithSpaces", Source, "-k \"{d}\\src.txt\" \"my  key\"", 0, kSuccess, "my  key"},
  {"QuotedTabInKeyIsSpace", Source, "-k \"{d}\\src.txt\" \"a\tb\"", 0, kSuccess, "a b"},
  {"QuoteInsideKey", Source, "-k \"{d}\\src.txt\" se\"cr\"et", 0, kSuccess, "secret"},
  {"TabsBetweenArguments", Source, "-k\t\"{d}\\src.txt\"\tsecret", 0, kSuccess, "secret"},
  {"RunsOfSpacesAndTabs", Source, "  -k  \t \"{d}\\src.txt\"   \t\tsecret", 0, kSuccess, "secret"},
  {"TrailingSpaces", Source, "-k \"{d}\\src.txt\" secret   ", 0, kSuccess, "secret"},
  {"TrailingTabs", Source, "-k \"{d}\\src.txt\" secret\t\t", 0, kSuccess, "secret"},
  {"SlashSwitch", Source, "/k \"{d}\\src.txt\" secret", 0, kSuccess, "secret"},
  {"QuotedSwitch", Source, "\"-k\" \"{d}\\src.txt\" secret", 0, kSuccess, "secret"},
  {"KeyByte0xFE", Source, "-k \"{d}\\src.txt\" a\xFE" "b", 0, kSuccess, "a\xFE" "b"},
  {"KeyArgumentWithoutSwitch", Source, "\"{d}\\src.txt\" ignored", 0, kSuccess, "Velmoran"},
  // Silent: no box at all, whatever the status.
  {"SilentAlone", Nothing, "-s", 11, kNoBox, nullptr},
  {"SilentSuccess", Source, "-s -k \"{d}\\src.txt\" secret", 0, kNoBox, "secret"},
  {"SilentMissingSource", Nothing, "-s \"{d}\\none.txt\"", 2, kNoBox, nullptr},
  {"SilentUnknownSwitch", Nothing, "-s -x", 9, kNoBox, nullptr},
  {"SilentReadOnly", ReadOnlySource, "-s \"{d}\\src.txt\"", 19, kNoBox, nullptr},
  // Unpaired quotation marks: 10 whatever else the line says, silent where a -s stands
  // among the switches before the first one; a scheduled task must not wait for OK.
  {"SilentBeforeOddQuote", Nothing, "-s \"", 10, kNoBox, nullptr},
  {"SilentBeforeOddQuoteInSource", Source, "-m -s -k \"{d}\\src.txt key", 10, kNoBox, nullptr},
  {"SilentBeforeOddQuoteBareProgramPath", Source, "-s \"{d}\\src.txt", 10, kNoBox, nullptr,
   Argv0::Bare},
  {"SilentAfterSourceBeforeOddQuote", Source, "\"{d}\\src.txt\" -s \"", 10,
   "Invalid command: no matching quotation marks", nullptr},
  {"SilentInsideOddProgramPath", Source, "-s \"{d}\\src.txt\"", 10,
   "Invalid command: no matching quotation marks", nullptr, Argv0::OddQuote},
};
// clang-format on

class MessageBoxText : public testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxText, ShowsExactlyThisAndExits) {
  const BoxCase& c = GetParam();
  if (!wintest::HaveDisplay()) {
    GTEST_SKIP() << "no display: message boxes cannot be read";
  }
  if (c.windowsOnly && wintest::UnderWine()) {
    GTEST_SKIP() << "Wine lets a locked region be read";
  }
  TempDir dir;
  c.setup(dir);
  if (testing::Test::HasFatalFailure()) {
    return;
  }
  const std::string arguments = wintest::Expand(c.arguments, dir);
  std::string line;
  switch (c.argv0) {
    case Argv0::Quoted: line = "\"" + wintest::ToolPath() + "\""; break;
    case Argv0::Bare: line = wintest::ToolPath(); break;
    case Argv0::OddQuote: line = "\"" + wintest::ToolPath(); break;
  }
  if (!arguments.empty()) {
    line += " " + arguments;
  }
  const boxreader::Run run = wintest::RunToolLine(line, dir);
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished) << "the tool did not end";
  EXPECT_EQ(run.exitCode, c.status);
  if (c.text == kNoBox) {
    EXPECT_TRUE(run.boxes.empty()) << "a box appeared: " << run.boxes.front().text;
  } else {
    ASSERT_EQ(run.boxes.size(), 1U);
    EXPECT_EQ(run.boxes[0].caption, "Velmoran");
    if (c.text == kSuccess) {
      EXPECT_TRUE(wintest::IsSuccessReport(run.boxes[0].text)) << run.boxes[0].text;
    } else {
      EXPECT_EQ(run.boxes[0].text, c.text);
    }
  }
  if (c.key != nullptr) {
    EXPECT_EQ(dir.Read("src.txt"), wintest::ComplementAdd(kPlain, c.key));
  } else if (dir.Exists("src.txt")) {
    EXPECT_EQ(dir.Read("src.txt"), c.setup == EmptySource ? std::string() : std::string(kPlain));
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, MessageBoxText, testing::ValuesIn(kBoxCases),
                         [](const testing::TestParamInfo<BoxCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
