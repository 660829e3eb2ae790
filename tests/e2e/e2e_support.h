// Cases as data: a command (or a few in a row), the files before, the status, and
// which files end with which bytes. Everything not named must come out exactly as
// it was: same names, types, modes, owners, link counts and bytes, nothing added.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reference_ciphers.h"
#include "scratch_directory.h"
#include "status_texts.h"
#include "tool_runner.h"

namespace e2e {

using Bytes = std::string;

// The ciphers from their formulas, independently of the tool.
using support::ComplementAdd;
using support::XOrData;

using support::SomeBytes;

inline const Bytes kPlain = "Plain text\r\nwith \x00 and \xFF bytes\n";
using support::kDefaultKey;

using support::StatusText;

// What a directory tree holds, entry by entry, keyed by relative path.
struct Entry {
  char type = 0;  // f d l p s c b
  unsigned mode = 0;
  unsigned uid = 0;
  unsigned gid = 0;
  unsigned long links = 0;
  Bytes data;  // a file's bytes (a size note for huge ones), or a link's target
  // Extended attributes (access lists among them), names and values, and the file
  // flags an owner may set.
  Bytes attributes;
  bool operator==(const Entry& other) const;
};
using Tree = std::map<std::string, Entry>;

class ToolCase;

// Where a case starts the tool: in the files' folder, or in the folder above it with
// every path argument leading through the files' folder, relative or absolute (under
// Wine drive-absolute, Z:\...).
enum class StartIn { FilesFolder, AboveByRelativePaths, AboveByAbsolutePaths };

struct Case {
  Case(std::string caseName, int expectedStatus, std::vector<std::string> args);

  Case& Then(std::vector<std::string> args);  // one more command, same status
  Case& File(std::string name, Bytes bytes, unsigned mode = 0644);
  Case& Given(std::function<void(ToolCase&)> step);
  Case& Becomes(std::string name, Bytes bytes);
  Case& Becomes(std::string name, std::function<Bytes()> bytes);  // computed only when run
  Case& Silent();
  Case& AddressSpace(rlim_t bytes);
  Case& FileSize(rlim_t bytes);
  Case& Umask(mode_t mask);
  Case& Argv0(std::string path);
  Case& ClosedErrors();  // standard error is a pipe nobody reads any more
  // Holds only for the native build; `why` is shown where the Windows build skips it.
  Case& NativeOnly(std::string why);
  // Runs every command as this user and group, with no other groups, in a case
  // directory that user owns (root only).
  Case& AsUser(unsigned uid, unsigned gid);
  // Runs every command through `wrapper` (a program and its arguments, the tool's path
  // and arguments appended).
  Case& Through(std::vector<std::string> wrapper);

  std::string name;
  int status;
  std::vector<std::vector<std::string>> commands;
  std::vector<std::function<void(ToolCase&)>> steps;
  std::map<std::string, std::function<Bytes()>> after;
  bool silent = false;
  std::optional<std::pair<unsigned, unsigned>> user;
  std::vector<std::string> wrapper;
  Launch launch;
  std::string nativeOnly;  // why the case cannot hold on Windows, if it cannot
  StartIn start = StartIn::FilesFolder;
};

// `cases` and, for each one whose commands reach files (every status but those of the
// command line), the same case started in the folder above: relative and absolute
// paths in turn.
std::vector<Case> FromAnotherFolderToo(const std::vector<Case>& cases);

// The folder a case starts in when not in the files' own; the files' folder is made
// inside it, so that relative paths lead through a subfolder.
class StartFolder {
 protected:
  explicit StartFolder(const Case& c);
  std::optional<support::ScratchDirectory> above_;
};

// Runs one case in a fresh temporary directory, removed afterwards.
class ToolCase : public ::testing::TestWithParam<Case>,
                 private StartFolder,
                 public support::ScratchDirectory {
 public:
  ToolCase()
      : StartFolder(GetParam()), ScratchDirectory("e2e", above_ ? above_->Root() : std::string()) {}
  ~ToolCase() override;
  ToolCase(const ToolCase&) = delete;
  ToolCase& operator=(const ToolCase&) = delete;

  // Runs `undo` when the case ends, however it ends (a failed row too), last given first:
  // for what a case changes outside its own folder.
  void AtEnd(std::function<void()> undo);

  // Sets the immutable attribute; skips the test where the file system has none.
  void MakeImmutable(const std::string& name);
  void MakeAppendOnly(const std::string& name);  // likewise
  // Mounts over `onto`, undone afterwards; skips the test where mounting is refused.
  void BindMount(const std::string& from, const std::string& onto, bool readOnly);
  void MountTmpfs(const std::string& onto, const std::string& options);
  [[nodiscard]] Tree Snapshot() const;

  void RunCase(const Case& c);

 private:
  std::vector<std::function<void()>> atEnd_;
};

void PrintTo(const Case& c, std::ostream* os);

// Keeps test names readable: the case's own name.
struct CaseName {
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

}  // namespace e2e
