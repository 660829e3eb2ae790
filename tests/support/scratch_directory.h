// A fresh temporary directory for one test and the file helpers the tests set their
// cases up with. Meant as a base of a test fixture: made when the fixture is, removed
// with it, and whatever was made immutable or mounted inside it is undone first so
// that the removal can succeed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace support {

using Bytes = std::string;

// What Read gives for a file it cannot open.
inline const Bytes kMissing = "<missing>";

class ScratchDirectory {
 public:
  // Under `parent` (when empty $TMPDIR, else /tmp), named velmoran-<label>-XXXXXX.
  explicit ScratchDirectory(const std::string& label, const std::string& parent = "");
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // Helpers that set a case up throw when they fail: the case would test nothing.
  [[nodiscard]] const std::string& Root() const { return root_; }
  [[nodiscard]] std::string Path(const std::string& name) const;
  void Write(const std::string& name, const Bytes& bytes, unsigned mode = 0644) const;
  // kMissing for a file that cannot be opened, so that a comparison fails with a
  // message and the test goes on to its other checks.
  [[nodiscard]] Bytes Read(const std::string& name) const;
  void MakeDirectory(const std::string& name) const;
  void Symlink(const std::string& target, const std::string& name) const;
  void HardLink(const std::string& existing, const std::string& name) const;
  void Chmod(const std::string& name, unsigned mode) const;
  // A file of `size` bytes with holes, so that huge files cost no disk or time.
  void Sparse(const std::string& name, std::uint64_t size) const;
  // Every name below `directory` (recursively, relative), hidden ones included.
  [[nodiscard]] std::set<std::string> Names(const std::string& directory = "") const;
  // 0 for a name that is not there.
  [[nodiscard]] ino_t Inode(const std::string& name) const;
  [[nodiscard]] nlink_t Links(const std::string& name) const;
  [[nodiscard]] unsigned Mode(
      const std::string& name) const;  // of the name itself, no link followed

  // Sets the immutable attribute; false where the file system has none.
  bool MakeImmutable(const std::string& name);
  // Sets the append-only attribute (undone on removal); false where there is none.
  bool MakeAppendOnly(const std::string& name);
  // mount(2) over `onto`; false, with errno set, where this environment refuses it.
  bool Mount(const std::string& source, const std::string& onto, const char* type,
             unsigned long flags, const std::string& options);

 private:
  std::string root_;
  std::vector<std::string> immutable_;
  std::vector<std::string> mounts_;
};

}  // namespace support
