// What the tool leaves on disk under Windows, where only Windows can say it: paths
// spelled the Windows way, attributes, share modes, access lists, streams, the wide
// command line, paths near MAX_PATH, and the replace paths (staged, hard-linked
// overwrite) leaving no staged file behind. Runs are silent. The ciphers, key sources
// and the outcomes every build shares are the portable end-to-end cases, which the
// Windows test run starts against this build too.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <tuple>
#include <vector>

#include "reference_ciphers.h"
#include "wine_support.h"

namespace {

using wintest::Bytes;
using wintest::TempDir;
using Names = std::vector<std::string>;

const Bytes kSource = support::SomeBytes(4099, 1);
const Bytes kKeyFile = std::string("k\0e\xFFy\x80", 6);  // any byte, zero included

// Runs the tool on files of `dir`, started in `startIn` (the files' own folder when empty).
unsigned long RunSilently(const std::string& arguments, const TempDir& dir,
                          const std::string& startIn = "") {
  const std::string line = "\"" + wintest::ToolPath() + "\" -s " + wintest::Expand(arguments, dir);
  const boxreader::Run run =
      boxreader::RunProgram(wintest::ToolPath(), line, startIn.empty() ? dir.Path() : startIn);
  EXPECT_TRUE(run.started && run.finished);
  EXPECT_TRUE(run.boxes.empty());
  return run.exitCode;
}

enum class Mode { InPlace, Copy };

// ---- outcomes of single runs --------------------------------------------------

Bytes Transformed(const Bytes& key = support::kDefaultKey) {
  return support::ComplementAdd(kSource, key);
}

void HoldOpen(TempDir& dir, const std::string& name, DWORD access, DWORD share) {
  HANDLE held = ::CreateFileA((dir / name).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  dir.Hold(held);
}

void HardLink(TempDir& dir, const std::string& name, const std::string& existing) {
  ASSERT_TRUE(::CreateHardLinkA((dir / name).c_str(), (dir / existing).c_str(), nullptr));
}

// A file's owner and access list as SDDL text, the way a user's tools would show them.
std::string Descriptor(const TempDir& dir, const std::string& name) {
  constexpr SECURITY_INFORMATION kShown = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  ::GetFileSecurityA((dir / name).c_str(), kShown, nullptr, 0, &needed);
  std::string descriptor(needed, '\0');
  char* text = nullptr;
  if (needed == 0 ||
      !::GetFileSecurityA((dir / name).c_str(), kShown, descriptor.data(), needed, &needed) ||
      !::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                              kShown, &text, nullptr)) {
    return "<unreadable>";
  }
  std::string shown = text;
  ::LocalFree(text);
  return shown;
}

// What the file's descriptor was just before the run.
std::string g_descriptorBefore;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Gives the file an access list of its owner's and the `others` entries (SDDL), and
// notes the descriptor it ends up with.
void GiveAccessList(const TempDir& dir, const std::string& name, const std::string& others) {
  const std::string before = Descriptor(dir, name);
  const std::string owner = before.substr(2, before.find(':', 2) - 3);  // "O:<sid>D:..."
  const std::string sddl = "D:P(A;;FA;;;" + owner + ")" + others;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  const BOOL given =
      ::SetFileSecurityA((dir / name).c_str(), DACL_SECURITY_INFORMATION, descriptor);
  ::LocalFree(descriptor);
  ASSERT_TRUE(given);
  g_descriptorBefore = Descriptor(dir, name);
  ASSERT_NE(g_descriptorBefore, before) << "the access list did not change";
}

struct Outcome {
  const char* name;
  void (*setup)(TempDir&);
  const char* arguments;  // "{d}" is the test folder; -s is added
  unsigned long status;
  void (*check)(const TempDir&);
};

// clang-format off
const Outcome kOutcomes[] = {
  {"ReadOnlySourceInPlaceStays", [](TempDir& d) { d.Write("src.bin", kSource); d.MakeReadOnly("src.bin"); },
   "\"{d}\\src.bin\"", 19,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), kSource); EXPECT_TRUE(d.IsReadOnly("src.bin")); }},
  {"ReadOnlySourceCanBeCopied", [](TempDir& d) { d.Write("src.bin", kSource); d.MakeReadOnly("src.bin"); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), Transformed()); EXPECT_EQ(d.Read("src.bin"), kSource); }},
  {"ReadOnlyKeyFileIsRead", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("key.bin", kKeyFile); d.MakeReadOnly("key.bin"); },
   "-f \"{d}\\src.bin\" \"{d}\\key.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed(kKeyFile)); }},
  {"ReadOnlyDestinationStays", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("out.bin", "old"); d.MakeReadOnly("out.bin"); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 3,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), "old"); EXPECT_TRUE(d.IsReadOnly("out.bin"));
                          EXPECT_EQ(d.Names(), (Names{"out.bin", "src.bin"})); }},
  {"SourceInUseStays", [](TempDir& d) { d.Write("src.bin", kSource); HoldOpen(d, "src.bin", GENERIC_READ, FILE_SHARE_READ); },
   "\"{d}\\src.bin\"", 19,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), kSource); EXPECT_EQ(d.Names(), Names{"src.bin"}); }},
  {"DestinationInUseStays", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("out.bin", "old");
                                             HoldOpen(d, "out.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 3,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), "old"); EXPECT_EQ(d.Names(), (Names{"out.bin", "src.bin"})); }},
  {"HardLinkedSourceBothNamesChange", [](TempDir& d) { d.Write("src.bin", kSource); HardLink(d, "link.bin", "src.bin"); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed()); EXPECT_EQ(d.Read("link.bin"), Transformed());
                          EXPECT_EQ(d.Names(), (Names{"link.bin", "src.bin"})); }},
  {"HardLinkedLongerDestinationIsCut", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("out.bin", Bytes(9000, 'x'));
                                                        HardLink(d, "link.bin", "out.bin"); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), Transformed()); EXPECT_EQ(d.Read("link.bin"), Transformed());
                          EXPECT_EQ(d.Names(), (Names{"link.bin", "out.bin", "src.bin"})); }},
  {"HiddenDestinationStaysHidden", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("out.bin", "old");
                                                    ::SetFileAttributesA((d / "out.bin").c_str(), FILE_ATTRIBUTE_HIDDEN); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), Transformed());
                          EXPECT_NE(::GetFileAttributesA((d / "out.bin").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0U); }},
  // The replacement keeps who may read the file, narrower or wider than a new file's.
  {"PrivateFileKeepsItsAccessList", [](TempDir& d) { d.Write("src.bin", kSource); GiveAccessList(d, "src.bin", ""); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed()); EXPECT_EQ(Descriptor(d, "src.bin"), g_descriptorBefore);
                          EXPECT_EQ(d.Names(), Names{"src.bin"}); }},
  {"PrivateDestinationKeepsItsAccessList", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("out.bin", "old");
                                                            GiveAccessList(d, "out.bin", ""); },
   "-c \"{d}\\src.bin\" \"{d}\\out.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), Transformed()); EXPECT_EQ(Descriptor(d, "out.bin"), g_descriptorBefore);
                          EXPECT_EQ(d.Names(), (Names{"out.bin", "src.bin"})); }},
  {"FileEveryoneWritesKeepsItsAccessList", [](TempDir& d) { d.Write("src.bin", kSource); GiveAccessList(d, "src.bin", "(A;;FRFW;;;WD)"); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed()); EXPECT_EQ(Descriptor(d, "src.bin"), g_descriptorBefore); }},
  // Only the drive designator is a colon's place: a stream or a colon in a name is
  // refused, and nothing is written anywhere.
  {"StreamAsDestinationIsRefused", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("b.bin", "old"); },
   "-c \"{d}\\src.bin\" \"{d}\\b.bin:stream\"", 3,
   [](const TempDir& d) { EXPECT_EQ(d.Read("b.bin"), "old"); EXPECT_EQ(d.Names(), (Names{"b.bin", "src.bin"})); }},
  {"DefaultStreamAsDestinationIsRefused", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("b.bin", "old"); },
   "-c \"{d}\\src.bin\" \"{d}\\b.bin::$DATA\"", 3,
   [](const TempDir& d) { EXPECT_EQ(d.Read("b.bin"), "old"); EXPECT_EQ(d.Names(), (Names{"b.bin", "src.bin"})); }},
  {"ColonInRelativeNameIsRefused", [](TempDir& d) { d.Write("src.bin", kSource); d.Write("30.bin", "old"); },
   "-c \"{d}\\src.bin\" \"at 12:30.bin\"", 3,
   [](const TempDir& d) { EXPECT_EQ(d.Read("30.bin"), "old"); EXPECT_EQ(d.Names(), (Names{"30.bin", "src.bin"})); }},
  // What a run that was ended before its rename leaves, and what only looks like it:
  // the next run on the same file removes the first and nothing else.
  {"AbandonedStagedFileIsRemoved", [](TempDir& d) { d.Write("src.bin", kSource); d.Write(".src.bin.velmoran-0123abcd", "staged"); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed()); EXPECT_EQ(d.Names(), Names{"src.bin"}); }},
  {"AbandonedStagedFileSpelledInOtherCaseIsRemoved", [](TempDir& d) { d.Write("src.bin", kSource); d.Write(".SRC.Bin.velmoran-0123abcd", "staged"); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed()); EXPECT_EQ(d.Names(), Names{"src.bin"}); }},
  {"LiveRunsStagedFileStays", [](TempDir& d) { d.Write("src.bin", kSource); d.Write(".src.bin.velmoran-0123abcd", "staged");
                                               HoldOpen(d, ".src.bin.velmoran-0123abcd", GENERIC_WRITE, 0); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("src.bin"), Transformed());
                          EXPECT_EQ(d.Names(), (Names{".src.bin.velmoran-0123abcd", "src.bin"})); }},
  {"LookAlikeNamesStay", [](TempDir& d) { d.Write("src.bin", kSource); d.Write(".src.bin.velmoran-0123abc", "7");
                                          d.Write(".src.bin.velmoran-0123ABCD", "upper"); d.Write(".other.velmoran-0123abcd", "other");
                                          d.MakeFolder(".src.bin.velmoran-89abcdef"); },
   "\"{d}\\src.bin\"", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read(".src.bin.velmoran-0123abc"), "7"); EXPECT_EQ(d.Read(".src.bin.velmoran-0123ABCD"), "upper");
                          EXPECT_EQ(d.Names(), (Names{".other.velmoran-0123abcd", ".src.bin.velmoran-0123ABCD", ".src.bin.velmoran-0123abc",
                                                      ".src.bin.velmoran-89abcdef", "src.bin"})); }},
  {"LargeFileRoundTripsThroughCopy", [](TempDir& d) { d.Write("src.bin", support::SomeBytes(3 << 20, 7)); },
   "-m -c -k \"{d}\\src.bin\" \"{d}\\out.bin\" k", 0,
   [](const TempDir& d) { EXPECT_EQ(d.Read("out.bin"), support::XOrData(support::SomeBytes(3 << 20, 7), "k")); }},
};
// clang-format on

// Every outcome holds whether the tool starts in the files' folder or elsewhere: a
// result must land on the file named, never on a same-named file where the tool runs.
enum class StartIn { FilesFolder, AnotherFolder };

class FileOutcome : public testing::TestWithParam<std::tuple<Outcome, StartIn>> {};

TEST_P(FileOutcome, LeavesTheseFiles) {
  const auto& [c, startIn] = GetParam();
  TempDir dir;
  TempDir elsewhere;
  c.setup(dir);
  if (testing::Test::HasFatalFailure()) {
    return;
  }
  const bool away = startIn == StartIn::AnotherFolder;
  EXPECT_EQ(RunSilently(c.arguments, dir, away ? elsewhere.Path() : ""), c.status);
  c.check(dir);
  EXPECT_EQ(elsewhere.Names(), Names{}) << "the run wrote where it was started";
}

INSTANTIATE_TEST_SUITE_P(
    Wine, FileOutcome,
    testing::Combine(testing::ValuesIn(kOutcomes),
                     testing::Values(StartIn::FilesFolder, StartIn::AnotherFolder)),
    [](const testing::TestParamInfo<std::tuple<Outcome, StartIn>>& param) {
      return std::string(std::get<0>(param.param).name) +
             (std::get<1>(param.param) == StartIn::AnotherFolder ? "_FromAnotherFolder" : "");
    });

// ---- the same file, however its path is written and wherever the tool starts -----

// Where a spelling is started: the folder above the files (for relative paths), a
// fresh folder, beside a copy of the tool (a file dropped on its icon), or a fresh
// folder on another drive than the files'.
enum class Start { Parent, Fresh, ToolFolder, OtherDrive };

struct Spelling {
  const char* name;
  Start start;
  const char* arguments;  // "{d}" is the folder above "sub", "{s}" the same with slashes
  const char* result;     // the file in "sub" that must hold the new bytes
};

// clang-format off
const Spelling kSpellings[] = {
  {"RelativeInPlace", Start::Parent, "sub\\a.bin", "a.bin"},
  {"RelativeCopy", Start::Parent, "-c sub\\a.bin sub\\out.bin", "out.bin"},
  {"RelativeWithDot", Start::Parent, ".\\sub\\.\\a.bin", "a.bin"},
  {"ForwardSlashesRelative", Start::Parent, "-c sub/a.bin sub/out.bin", "out.bin"},
  {"DriveAbsoluteInPlace", Start::Fresh, "\"{d}\\sub\\a.bin\"", "a.bin"},
  {"DriveAbsoluteCopy", Start::Fresh, "-c \"{d}\\sub\\a.bin\" \"{d}\\sub\\out.bin\"", "out.bin"},
  {"ForwardSlashesAbsolute", Start::Fresh, "\"{s}/sub/a.bin\"", "a.bin"},
  {"LongPathPrefix", Start::Fresh, "\"\\\\?\\{d}\\sub\\a.bin\"", "a.bin"},
  {"LongPathPrefixCopy", Start::Fresh, "-c \"{d}\\sub\\a.bin\" \"\\\\?\\{d}\\sub\\out.bin\"", "out.bin"},
  {"DroppedOnTheIcon", Start::ToolFolder, "\"{d}\\sub\\a.bin\"", "a.bin"},
  {"FromAnotherDrive", Start::OtherDrive, "-c \"{d}\\sub\\a.bin\" \"{d}\\sub\\out.bin\"", "out.bin"},
};
// clang-format on

// A temporary folder ("X:\\tmp") on a fixed drive other than the one holding `path`, or
// empty when there is none.
std::string OtherDriveTemp(const std::string& path) {
  const DWORD drives = ::GetLogicalDrives();
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const std::string root = std::string(1, letter) + ":\\";
    const DWORD tmp = ::GetFileAttributesA((root + "tmp").c_str());
    if ((drives & (1U << static_cast<unsigned>(letter - 'A'))) != 0 &&
        std::toupper(static_cast<unsigned char>(path[0])) != letter &&
        ::GetDriveTypeA(root.c_str()) == DRIVE_FIXED && tmp != INVALID_FILE_ATTRIBUTES &&
        (tmp & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return root + "tmp";
    }
  }
  return "";
}

std::string WithForwardSlashes(std::string path) {
  for (char& c : path) {
    c = c == '\\' ? '/' : c;
  }
  return path;
}

class PathSpelling : public testing::TestWithParam<Spelling> {};

TEST_P(PathSpelling, ResultLandsOnTheNamedFile) {
  const Spelling& c = GetParam();
  TempDir dir;
  std::string freshBase;
  if (c.start == Start::OtherDrive) {
    freshBase = OtherDriveTemp(dir.Path());
    if (freshBase.empty()) {
      GTEST_SKIP() << "no second fixed drive with a tmp folder";
    }
  }
  TempDir fresh(freshBase);
  dir.MakeFolder("sub");
  dir.Write("sub\\a.bin", kSource);
  // Same-named files where a run that resolved a name against the wrong folder would
  // land, one of them read-only.
  dir.Write("a.bin", "unrelated");
  dir.MakeReadOnly("a.bin");
  dir.Write("out.bin", "unrelated");
  fresh.Write("a.bin", "unrelated");
  fresh.Write("out.bin", "unrelated");
  Names freshNames = {"a.bin", "out.bin"};
  std::string program = wintest::ToolPath();
  if (c.start == Start::ToolFolder) {
    program = fresh / "Velmoran.exe";
    ASSERT_TRUE(::CopyFileA(wintest::ToolPath().c_str(), program.c_str(), TRUE));
    freshNames.insert(freshNames.begin(), "Velmoran.exe");
  }
  const std::string startIn = c.start == Start::Parent ? dir.Path() : fresh.Path();
  std::string arguments = c.arguments;
  for (std::size_t at; (at = arguments.find("{s}")) != std::string::npos;) {
    arguments.replace(at, 3, WithForwardSlashes(dir.Path()));
  }

  const boxreader::Run run = boxreader::RunProgram(
      program, "\"" + program + "\" -s " + wintest::Expand(arguments, dir), startIn);
  ASSERT_TRUE(run.started && run.finished);
  EXPECT_EQ(run.exitCode, 0U);
  EXPECT_EQ(dir.Read(std::string("sub\\") + c.result), Transformed());
  if (std::string(c.result) != "a.bin") {
    EXPECT_EQ(dir.Read("sub\\a.bin"), kSource);
  }
  EXPECT_EQ(dir.Read("a.bin"), "unrelated");
  EXPECT_EQ(dir.Read("out.bin"), "unrelated");
  EXPECT_EQ(fresh.Read("a.bin"), "unrelated");
  EXPECT_EQ(fresh.Read("out.bin"), "unrelated");
  EXPECT_EQ(fresh.Names(), freshNames);
  EXPECT_EQ(dir.Names(), (Names{"a.bin", "out.bin", "sub"}));
  const Names expected =
      std::string(c.result) == "a.bin" ? Names{"a.bin"} : Names{"a.bin", "out.bin"};
  EXPECT_EQ(dir.Names("sub"), expected) << "a staged file was left behind";
}

INSTANTIATE_TEST_SUITE_P(Wine, PathSpelling, testing::ValuesIn(kSpellings),
                         [](const testing::TestParamInfo<Spelling>& param) {
                           return std::string(param.param.name);
                         });

// ---- names and keys the ANSI code page cannot hold ------------------------------
// Started with a UTF-16 command line (CreateProcessW), as Explorer or a Unicode shell
// starts the tool: its 8-bit command line then comes by best fit (`ａ` reads `a`,
// `пароль` reads `??????`). An argument the run uses that has no exact form is
// refused by its role, before anything is read; the look-alike file stays untouched.

struct WideCase {
  const char* name;
  const wchar_t* argv0;      // nullptr: the tool's own path, quoted
  const wchar_t* arguments;  // in the folder of a.bin (and k.key)
  unsigned long status;
  const char* key;         // a.bin ends ComplementAdd'ed with this key; nullptr: unchanged
  bool needsCodePage1252;  // the Cyrillic rows: code page 1251 holds them
};

#define CYRILLIC_KEY L"\u043F\u0430\u0440\u043E\u043B\u044C"  // пароль

// clang-format off
const WideCase kWideCases[] = {
  {"FullwidthName", nullptr, L"-s \uFF41.bin", 2, nullptr, false},
  {"FullwidthQuotes", nullptr, L"-s \uFF02a.bin\uFF02", 2, nullptr, false},
  {"FullwidthSwitch", nullptr, L"-s -\uFF4D a.bin", 9, nullptr, false},
  {"FullwidthDestination", nullptr, L"-s -c a.bin \uFF42.bin", 3, nullptr, false},
  {"FullwidthKeyFile", nullptr, L"-s -f a.bin \uFF4B.key", 18, nullptr, false},
  {"CyrillicKeyString", nullptr, L"-s -k a.bin " CYRILLIC_KEY, 17, nullptr, true},
  {"CyrillicKeyUnused", nullptr, L"-s a.bin " CYRILLIC_KEY, 0, "Velmoran", false},
  {"ProgramPathNotChecked", L"\"C:\\\uFF56elmoran.exe\"", L"-s -k a.bin key", 0, "key", false},
  {"ExactArgumentsWork", nullptr, L"-s -k a.bin k\u00E9y", 0, "k\xE9y", true},
};
// clang-format on

#undef CYRILLIC_KEY

std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const int units = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(),
                                          static_cast<int>(wide.size()));
  wide.resize(units > 0 ? static_cast<std::size_t>(units - 1) : 0);
  return wide;
}

class WideCommandLine : public testing::TestWithParam<WideCase> {};

TEST_P(WideCommandLine, RefusesWhatTheCodePageCannotHoldAndTouchesNothing) {
  const WideCase& c = GetParam();
  if (c.needsCodePage1252 && ::GetACP() != 1252) {
    GTEST_SKIP() << "the expectation holds in code page 1252; this is " << ::GetACP();
  }
  TempDir dir;
  dir.Write("a.bin", kSource);
  dir.Write("k.key", kKeyFile);
  const std::wstring program = Wide(wintest::ToolPath());
  std::wstring line = c.argv0 != nullptr ? c.argv0 : L"\"" + program + L"\"";
  line += L" ";
  line += c.arguments;
  const std::wstring folder = Wide(dir.Path());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               folder.c_str(), &startup, &process));
  ::CloseHandle(process.hThread);
  const DWORD waited = ::WaitForSingleObject(process.hProcess, 30000);
  DWORD exitCode = 0;
  if (waited != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 99);  // a box nobody expected
  }
  ::GetExitCodeProcess(process.hProcess, &exitCode);
  ::CloseHandle(process.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the tool did not end";
  EXPECT_EQ(exitCode, c.status);
  EXPECT_EQ(dir.Read("a.bin"), c.key != nullptr ? support::ComplementAdd(kSource, c.key) : kSource);
  EXPECT_EQ(dir.Read("k.key"), kKeyFile);
  EXPECT_EQ(dir.Names(), (Names{"a.bin", "k.key"}));
}

INSTANTIATE_TEST_SUITE_P(Wine, WideCommandLine, testing::ValuesIn(kWideCases),
                         [](const testing::TestParamInfo<WideCase>& param) {
                           return std::string(param.param.name);
                         });

// ---- destination paths close to MAX_PATH ------------------------------------------

// A destination whose full path is `length` characters long, in place or as a copy, with
// a staged file that a killed run left beside it. A direct write serves every such path,
// so the run does too, whatever a staged name beside it would need. The length is in the
// name, or in the folder with a short name: from a folder of 241 characters on, no staged
// name fits beside the file at all, and the file itself is written.
struct LongPath {
  std::size_t length;
  Mode mode;
  bool inFolder = false;
};

// Makes the folders of `below` (a path under `dir`, its parts split by backslashes), each
// in turn; the wide call with "\\\\?\\" takes paths past the 248 characters
// CreateDirectoryA allows.
void MakeNestedFolders(const TempDir& dir, const std::string& below) {
  for (std::size_t end = below.find('\\');; end = below.find('\\', end + 1)) {
    const std::string path = dir.Path() + "\\" + below.substr(0, end);
    const std::wstring wide = L"\\\\?\\" + std::wstring(path.begin(), path.end());
    ASSERT_TRUE(::CreateDirectoryW(wide.c_str(), nullptr)) << path;
    if (end == std::string::npos) {
      return;
    }
  }
}

class LongDestinationPath : public testing::TestWithParam<LongPath> {};

TEST_P(LongDestinationPath, IsReplacedAndLeavesNothingBehind) {
  const LongPath c = GetParam();
  TempDir dir;
  TempDir elsewhere;
  std::string sub;  // the folder of the files, below `dir`, with a final backslash
  std::string name = "a.bin";
  if (c.inFolder) {
    const std::size_t deep = c.length - name.size() - dir.Path().size() - 2;
    std::string below(deep, 'f');
    for (std::size_t at = 100; at + 1 < below.size(); at += 101) {  // parts of 100 at most
      below[at] = '\\';
    }
    MakeNestedFolders(dir, below);
    sub = below + "\\";
  } else {
    ASSERT_LT(dir.Path().size() + 1 + 8, c.length);
    name = std::string(c.length - dir.Path().size() - 1 - 4, 'n') + ".bin";
  }
  const std::size_t folderLength = dir.Path().size() + 1 + sub.size();
  ASSERT_EQ(folderLength + name.size(), c.length);
  // Every staged name is "." + some of the name + ".velmoran-" + 8 hex digits, its path
  // within MAX_PATH - 1 characters; beside a longer folder path none fits.
  constexpr std::size_t kStagedExtra = 19;
  const bool stagedFits = folderLength + kStagedExtra <= MAX_PATH - 1;
  Names names;  // in `sub`, sorted
  if (stagedFits) {
    const std::size_t kept = std::min(name.size(), MAX_PATH - 1 - folderLength - kStagedExtra);
    const std::string abandoned = "." + name.substr(0, kept) + ".velmoran-0123abcd";
    dir.Write(sub + abandoned, "staged");
  }
  std::string arguments = "\"{d}\\" + sub + name + "\"";
  if (c.mode == Mode::Copy) {  // the source beside the long-named file, or above the folder
    dir.Write("src.bin", kSource);
    dir.Write(sub + name, "old");
    arguments = "-c \"{d}\\src.bin\" " + arguments;
    names = sub.empty() ? Names{name, "src.bin"} : Names{name};
  } else {
    dir.Write(sub + name, kSource);
    names = {name};
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(RunSilently(arguments, dir, elsewhere.Path()), 0U);
  EXPECT_EQ(dir.Read(sub + name), Transformed());
  if (c.mode == Mode::Copy) {
    EXPECT_EQ(dir.Read("src.bin"), kSource);
  }
  const std::string folder = sub.empty() ? std::string() : sub.substr(0, sub.size() - 1);
  EXPECT_EQ(dir.Names(folder), names) << "a staged file was left behind";
  EXPECT_EQ(elsewhere.Names(), Names{});
}

INSTANTIATE_TEST_SUITE_P(
    Wine, LongDestinationPath,
    testing::Values(LongPath{241, Mode::InPlace}, LongPath{242, Mode::InPlace},
                    LongPath{250, Mode::Copy}, LongPath{258, Mode::InPlace},
                    LongPath{259, Mode::Copy}, LongPath{259, Mode::InPlace},
                    // a folder of 240: a staged name fits, with none of the name
                    LongPath{245, Mode::InPlace, true}, LongPath{245, Mode::Copy, true},
                    // from 241 on: none fits
                    LongPath{246, Mode::InPlace, true}, LongPath{246, Mode::Copy, true},
                    LongPath{259, Mode::InPlace, true}, LongPath{259, Mode::Copy, true}),
    [](const testing::TestParamInfo<LongPath>& param) {
      return std::to_string(param.param.length) + (param.param.inFolder ? "InFolder" : "") +
             (param.param.mode == Mode::Copy ? "Copy" : "InPlace");
    });

}  // namespace
