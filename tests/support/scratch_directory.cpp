#include "scratch_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace support {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
}

// `flag` on, or with `on` false every flag that keeps a file from being removed off.
bool SetImmutable(const std::string& path, bool on, int flag = FS_IMMUTABLE_FL) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | flag) : (flags & ~(FS_IMMUTABLE_FL | FS_APPEND_FL));
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return done;
}

// `relative` is "" for `base` itself, else a path below it.
void CollectNames(const std::string& base, const std::string& relative,
                  std::set<std::string>& names) {
  DIR* dir = ::opendir(relative.empty() ? base.c_str() : (base + "/" + relative).c_str());
  if (dir == nullptr) {
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = relative.empty() ? name : relative + "/" + name;
    names.insert(path);
    struct stat info {};
    if (::lstat((base + "/" + path).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      CollectNames(base, path, names);
    }
  }
  ::closedir(dir);
}

}  // namespace

ScratchDirectory::ScratchDirectory(const std::string& label, const std::string& parent) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (parent.empty() ? std::string(base != nullptr ? base : "/tmp") : parent) +
                        "/velmoran-" + label + "-XXXXXX";
  Check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp " + pattern);
  root_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  // Attributes first, while every path still leads where it did when they were set.
  for (auto path = immutable_.rbegin(); path != immutable_.rend(); ++path) {
    SetImmutable(*path, false);
  }
  for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) {
    ::umount2(mount->c_str(), MNT_DETACH);
  }
  std::error_code error;
  std::filesystem::remove_all(root_, error);
  if (error) {
    ADD_FAILURE() << "cannot remove " << root_ << ": " << error.message();
  }
}

std::string ScratchDirectory::Path(const std::string& name) const { return root_ + "/" + name; }

void ScratchDirectory::Write(const std::string& name, const Bytes& bytes, unsigned mode) const {
  const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0, "open " + name);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t moved = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (moved <= 0) {
      ::close(fd);
      Check(false, "write " + name);
    }
    done += static_cast<std::size_t>(moved);
  }
  const bool changed = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
  ::close(fd);
  Check(changed, "chmod " + name);
}

Bytes ScratchDirectory::Read(const std::string& name) const {
  std::ifstream in(Path(name), std::ios::binary);
  if (!in) {
    return kMissing;
  }
  // Read at once into a string of the file's size (the kill tests compare files of
  // hundreds of mebibytes round after round), then whatever follows.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.clear();
  in.seekg(0);
  Bytes bytes(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (in) {
    std::ostringstream rest;
    rest << in.rdbuf();
    bytes += rest.str();
  }
  return bytes;
}

void ScratchDirectory::MakeDirectory(const std::string& name) const {
  Check(::mkdir(Path(name).c_str(), 0755) == 0, "mkdir " + name);
}

void ScratchDirectory::Symlink(const std::string& target, const std::string& name) const {
  Check(::symlink(target.c_str(), Path(name).c_str()) == 0, "symlink " + name);
}

void ScratchDirectory::HardLink(const std::string& existing, const std::string& name) const {
  Check(::link(Path(existing).c_str(), Path(name).c_str()) == 0, "link " + name);
}

void ScratchDirectory::Chmod(const std::string& name, unsigned mode) const {
  Check(::chmod(Path(name).c_str(), static_cast<mode_t>(mode)) == 0, "chmod " + name);
}

void ScratchDirectory::Sparse(const std::string& name, std::uint64_t size) const {
  const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "open " + name);
  const bool sized = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  ::close(fd);
  Check(sized, "ftruncate " + name);
}

std::set<std::string> ScratchDirectory::Names(const std::string& directory) const {
  std::set<std::string> names;
  CollectNames(directory.empty() ? root_ : Path(directory), "", names);
  return names;
}

ino_t ScratchDirectory::Inode(const std::string& name) const {
  struct stat info {};
  return ::stat(Path(name).c_str(), &info) == 0 ? info.st_ino : 0;
}

nlink_t ScratchDirectory::Links(const std::string& name) const {
  struct stat info {};
  return ::stat(Path(name).c_str(), &info) == 0 ? info.st_nlink : 0;
}

unsigned ScratchDirectory::Mode(const std::string& name) const {
  struct stat info {};
  return ::lstat(Path(name).c_str(), &info) == 0 ? info.st_mode & 07777U : 0U;
}

bool ScratchDirectory::MakeImmutable(const std::string& name) {
  if (!SetImmutable(Path(name), true)) {
    return false;
  }
  immutable_.push_back(Path(name));
  return true;
}

bool ScratchDirectory::MakeAppendOnly(const std::string& name) {
  if (!SetImmutable(Path(name), true, FS_APPEND_FL)) {
    return false;
  }
  immutable_.push_back(Path(name));
  return true;
}

bool ScratchDirectory::Mount(const std::string& source, const std::string& onto, const char* type,
                             unsigned long flags, const std::string& options) {
  if (::mount(source.c_str(), Path(onto).c_str(), type, flags, options.c_str()) != 0) {
    return false;
  }
  mounts_.push_back(Path(onto));
  return true;
}

}  // namespace support
