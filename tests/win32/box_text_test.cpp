// Messages only the Windows build can show, read back from its real message box:
// caption and text byte for byte, then OK, then the exit code. The command lines are
// raw, as a shell hands them over (runs of tabs, quoted stretches, odd quotation marks
// in the program path), and the files are held the Windows way (read-only attribute,
// share modes, locks). Every status the builds share is read back from the box by the
// portable end-to-end cases, which the Windows test run starts against this build.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "reference_ciphers.h"
#include "status_texts.h"
#include "wine_support.h"

namespace {

using wintest::TempDir;

// The status's own text, from the one copy every suite reads.
const char kStatusText[] = "<status text>";
const char kSuccess[] = "<success report>";
const char kNoBox[] = "<no box>";

const char kPlain[] = "The quick brown fox jumps over the lazy dog.";

void Nothing(TempDir& /*dir*/) {}
void Source(TempDir& dir) { dir.Write("src.txt", kPlain); }
void ReadOnlySource(TempDir& dir) {
  Source(dir);
  dir.MakeReadOnly("src.txt");
}
void ReadOnlyDestination(TempDir& dir) {
  Source(dir);
  dir.Write("out.txt", "old");
  dir.MakeReadOnly("out.txt");
}

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
  const char* text;  // kStatusText, kSuccess or kNoBox
  const char* key;   // with kSuccess: src.txt must be ComplementAdd'ed with this key
  Argv0 argv0 = Argv0::Quoted;
  bool windowsOnly = false;  // Wine does not enforce byte-range locks on reads
};

// clang-format off
const BoxCase kBoxCases[] = {
  // Usage and every command-line status.
  {"OnlyTrailingSpaces", Nothing, "   \t ", 1, kStatusText, nullptr},
  {"UnquotedProgramPath", Nothing, "", 1, kStatusText, nullptr, Argv0::Bare},
  {"OddQuoteInArgument", Source, "-k \"{d}\\src.txt key", 10, kStatusText, nullptr},
  {"OddQuoteInProgramPath", Source, "\"{d}\\src.txt\"", 10, kStatusText, nullptr, Argv0::OddQuote},
  {"KeyFileWithoutPath", Source, "-f \"{d}\\src.txt\"", 17, kStatusText, nullptr},
  // Every status of the job that Windows can produce here.
  {"DestinationReadOnly", ReadOnlyDestination, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 3, kStatusText, nullptr},
  {"DestinationInUse", DestinationInUse, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 3, kStatusText, nullptr},
  {"SourceLocked", LockedSource, "-c \"{d}\\src.txt\" \"{d}\\out.txt\"", 5, kStatusText, nullptr,
   Argv0::Quoted, true},
  {"SourceTooLarge", HugeSource, "\"{d}\\big.bin\"", 7, kStatusText, nullptr},
  {"ReadOnlySourceInPlace", ReadOnlySource, "\"{d}\\src.txt\"", 19, kStatusText, nullptr},
  {"SourceInUseInPlace", SourceInUse, "\"{d}\\src.txt\"", 19, kStatusText, nullptr},
  // Success, with the quoting a Windows user meets; the key proves the split.
  {"QuotedPathWithSpaces", Source, "-k \"{d}\\src.txt\" secret", 0, kSuccess, "secret"},
  {"QuotedStretchMidArgument", Source, "-k {m}\\src.txt secret", 0, kSuccess, "secret"},
  {"TabsBetweenArguments", Source, "-k\t\"{d}\\src.txt\"\tsecret", 0, kSuccess, "secret"},
  {"RunsOfSpacesAndTabs", Source, "  -k  \t \"{d}\\src.txt\"   \t\tsecret", 0, kSuccess, "secret"},
  {"TrailingSpaces", Source, "-k \"{d}\\src.txt\" secret   ", 0, kSuccess, "secret"},
  {"TrailingTabs", Source, "-k \"{d}\\src.txt\" secret\t\t", 0, kSuccess, "secret"},
  // Silent: no box at all, whatever the status.
  {"SilentSuccess", Source, "-s -k \"{d}\\src.txt\" secret", 0, kNoBox, "secret"},
  {"SilentUnknownSwitch", Nothing, "-s -x", 9, kNoBox, nullptr},
  {"SilentReadOnly", ReadOnlySource, "-s \"{d}\\src.txt\"", 19, kNoBox, nullptr},
  // Unpaired quotation marks: 10 whatever else the line says, silent where a -s stands
  // among the switches before the first one; a scheduled task must not wait for OK.
  {"SilentBeforeOddQuote", Nothing, "-s \"", 10, kNoBox, nullptr},
  {"SilentBeforeOddQuoteInSource", Source, "-m -s -k \"{d}\\src.txt key", 10, kNoBox, nullptr},
  {"SilentBeforeOddQuoteBareProgramPath", Source, "-s \"{d}\\src.txt", 10, kNoBox, nullptr,
   Argv0::Bare},
  {"SilentAfterSourceBeforeOddQuote", Source, "\"{d}\\src.txt\" -s \"", 10, kStatusText, nullptr},
  {"SilentInsideOddProgramPath", Source, "-s \"{d}\\src.txt\"", 10, kStatusText, nullptr, Argv0::OddQuote},
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
      EXPECT_EQ(run.boxes[0].text, support::StatusText(static_cast<int>(c.status)));
    }
  }
  if (c.key != nullptr) {
    EXPECT_EQ(dir.Read("src.txt"), support::ComplementAdd(kPlain, c.key));
  } else if (dir.Exists("src.txt")) {
    EXPECT_EQ(dir.Read("src.txt"), kPlain);
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, MessageBoxText, testing::ValuesIn(kBoxCases),
                         [](const testing::TestParamInfo<BoxCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
