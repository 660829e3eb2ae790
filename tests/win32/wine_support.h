// What the Windows end-to-end tests share: the tool's path, a fresh temporary folder
// per test, file bytes and runs of the tool. The ciphers and sample data are the
// ones every suite shares (tests/support).
#pragma once

#include <string>
#include <vector>

#include "box_reader.h"

namespace wintest {

using Bytes = std::string;  // raw file bytes

// The full path of Velmoran.exe (from VELMORAN_EXE, which CTest sets).
const std::string& ToolPath();

// Whether message boxes can be shown: without a display Wine returns from them at once.
bool HaveDisplay();

// Whether this runs under Wine rather than Windows.
bool UnderWine();

// A new folder under the temporary folder (or under `base`), its name holding a space;
// removed with everything in it (read-only files included) when the test ends.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  // The folder's path, without a final backslash.
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

  void Write(const std::string& name, const Bytes& bytes) const;
  [[nodiscard]] Bytes Read(const std::string& name) const;
  [[nodiscard]] bool Exists(const std::string& name) const;
  void MakeReadOnly(const std::string& name) const;
  [[nodiscard]] bool IsReadOnly(const std::string& name) const;
  void MakeFolder(const std::string& name) const;
  // Every name in the folder (or in its `subfolder`), sorted; a staged file left
  // behind would show here.
  [[nodiscard]] std::vector<std::string> Names(const std::string& subfolder = "") const;
  // Keeps a handle open until the test ends, as another program holding the file would.
  void Hold(void* handle) { held_.push_back(handle); }

 private:
  std::string path_;
  std::vector<void*> held_;
};

// `arguments` with "{d}" replaced by the folder's path and "{m}" by the same path with
// each space written as a quoted stretch ("velmoran" "test" -> velmoran" "test).
std::string Expand(const std::string& arguments, const TempDir& dir);

// Runs the tool with the command line `"<ToolPath>" <arguments>` (or the quoted path
// alone when `arguments` is empty), in `dir`.
boxreader::Run RunTool(const std::string& arguments, const TempDir& dir);

// Runs the tool with exactly `commandLine`, argument 0 included.
boxreader::Run RunToolLine(const std::string& commandLine, const TempDir& dir);

// Whether `text` is the success report with two decimal times.
bool IsSuccessReport(const std::string& text);

}  // namespace wintest
