// Cases that only a POSIX system can set up: special files, sparse files, resource
// limits on the child, permission bits, owners, links and the immutable attribute.
// The tests run as root, so read-only means "no write bit at all", not a refusal.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

const Bytes kData = SomeBytes(10000, 7);
const Bytes kOld = "older and longer destination content";
constexpr std::uint64_t k4GiB = 1ULL << 32;
constexpr rlim_t kLowMemory = 256U << 20;
// A file larger than the address space it is given, small enough to be compared whole.
constexpr std::size_t kLargerThanMemory = std::size_t{60} << 20;
constexpr rlim_t kLessThanTheFile = 48U << 20;
constexpr rlim_t kPartway = 4096;  // a file-size limit that stops the write after one block
// A regular file that announces 4096 bytes and holds fewer.
const char kShortFile[] = "/sys/devices/system/cpu/online";

Bytes Ca(const Bytes& data) { return ComplementAdd(data, kDefaultKey); }

// Names of 255 bytes (the longest a name may be), of 79 CJK characters (237 bytes in
// UTF-8) and of 85 (255 bytes).
std::string Repeated(const std::string& part, std::size_t times) {
  std::string whole;
  for (std::size_t i = 0; i < times; ++i) {
    whole += part;
  }
  return whole;
}
const std::string kLongestName = std::string(251, 'n') + ".bin";
const std::string kCjkName = Repeated("\xE8\xA1\xA8", 79);
const std::string kLongestCjkName = Repeated("\xE8\xA1\xA8", 85);

void Fifo(ToolCase& s, const std::string& name) {
  ASSERT_EQ(::mkfifo(s.Path(name).c_str(), 0644), 0) << std::strerror(errno);
}

void Socket(ToolCase& s, const std::string& name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = s.Path(name);
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  // The socket file stays after the descriptor is closed.
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::close(fd);
  ASSERT_EQ(bound, 0) << std::strerror(errno);
}

void Device(ToolCase& s, const std::string& name) {
  if (::mknod(s.Path(name).c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
}

void NeedShortFile(ToolCase&) {
  struct stat info {};
  if (::stat(kShortFile, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != 4096) {
    GTEST_SKIP() << kShortFile << " is not a short-reading file here";
  }
}

// Cases about what root may and may not do.
void NeedRoot(ToolCase&) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
}

void Chown(ToolCase& s, const std::string& name, uid_t uid, gid_t gid) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  ASSERT_EQ(::chown(s.Path(name).c_str(), uid, gid), 0) << std::strerror(errno);
}

constexpr uid_t kOtherUser = 65534;

// With fs.protected_symlinks at 1 the kernel itself refuses another user's link in a
// sticky folder anyone may write, and a planted-link row would pass whatever the tool
// does: such a row turns the rule off while it runs. The setting is the machine's, so
// rows in other processes take turns under a lock, and the value to put back stays in
// the lock file until it is back: a row killed meanwhile leaves it to the next one.
const char kKernelLinkRule[] = "/proc/sys/fs/protected_symlinks";
const char kKernelLinkRuleLock[] = "/run/velmoran-e2e-protected-symlinks.lock";

std::string ReadSmall(int fd) {
  char buffer[32];
  const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
  return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

bool WriteSmall(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
}

void KernelLinkRuleOff(ToolCase& s) {
  const int lock = ::open(kKernelLinkRuleLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0) << kKernelLinkRuleLock << ": " << std::strerror(errno);
  s.AtEnd([lock] { ::close(lock); });  // after the rule is back: closing releases the lock
  ASSERT_EQ(::flock(lock, LOCK_EX), 0) << std::strerror(errno);
  const int rule = ::open(kKernelLinkRule, O_RDONLY | O_CLOEXEC);
  const std::string current = rule >= 0 ? ReadSmall(rule) : std::string();
  if (rule >= 0) {
    ::close(rule);
  }
  const std::string leftBehind = ReadSmall(lock);
  const std::string original = leftBehind.empty() ? current : leftBehind;
  if (original == "0\n" && current == "0\n") {
    return;
  }
  ASSERT_EQ(::pwrite(lock, original.data(), original.size(), 0),
            static_cast<ssize_t>(original.size()));
  if (!WriteSmall(kKernelLinkRule, "0\n")) {
    const int error = errno;
    EXPECT_EQ(::ftruncate(lock, 0), 0);
    GTEST_SKIP() << "fs.protected_symlinks is " << (current.empty() ? "unreadable\n" : current)
                 << "and cannot be set to 0 here (" << std::strerror(error)
                 << "): the kernel would refuse the planted link whatever the tool does";
  }
  s.AtEnd([lock, original] {
    const bool back = WriteSmall(kKernelLinkRule, original);
    EXPECT_TRUE(back) << "could not set fs.protected_symlinks back to " << original;
    if (back) {  // otherwise the next row puts it back
      EXPECT_EQ(::ftruncate(lock, 0), 0);
    }
  });
}

// Makes folder "pub" with `mode` owned by `folderOwner`, and in
// it a link "out" to `target` owned by `linkOwner`.
void PlantLink(ToolCase& s, const std::string& target, mode_t mode, uid_t linkOwner,
               uid_t folderOwner) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root";
  }
  KernelLinkRuleOff(s);
  if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) {
    return;
  }
  s.MakeDirectory("pub");
  s.Symlink(target, "pub/out");
  ASSERT_EQ(::lchown(s.Path("pub/out").c_str(), linkOwner, linkOwner), 0) << std::strerror(errno);
  ASSERT_EQ(::chown(s.Path("pub").c_str(), folderOwner, folderOwner), 0) << std::strerror(errno);
  ASSERT_EQ(::chmod(s.Path("pub").c_str(), mode), 0);
}

std::function<void(ToolCase&)> AppendOnly(const std::string& name) {
  return [name](ToolCase& s) { s.MakeAppendOnly(name); };
}

// Another user, for what only root escapes: set-id bits, groups, access lists.
constexpr unsigned kUser = 4321;

void OwnedByUser(ToolCase& s, const std::string& name, unsigned mode) {
  Chown(s, name, kUser, kUser);
  s.Chmod(name, mode);
}

// A folder anyone may write whose new files get its group.
constexpr unsigned kSharedGroup = 2000;

void SharedDirectory(ToolCase& s, const std::string& name) {
  s.MakeDirectory(name);
  Chown(s, name, 0, kSharedGroup);
  s.Chmod(name, 02777);
}

// Sets a case up with a system command (setfacl, setfattr, chattr) run in its
// directory; skips where the command or the file system cannot do it.
void Shell(ToolCase& s, const std::string& command) {
  const std::string line = "cd '" + s.Root() + "' && " + command + " 2>/dev/null";
  if (std::system(line.c_str()) != 0) {
    GTEST_SKIP() << "cannot set the case up here: " << command;
  }
}

// Fills the file system that holds `name` until no block is left, then frees `spare` bytes.
void FillBlocks(ToolCase& s, const std::string& name, off_t spare) {
  const int fd = ::open(s.Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'f');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  const off_t size = ::lseek(fd, 0, SEEK_END);
  ASSERT_EQ(::ftruncate(fd, size - spare), 0);
  ::close(fd);
}

// Creates files in `directory` until the file system has no inode left.
void FillInodes(ToolCase& s, const std::string& directory) {
  for (int i = 0;; ++i) {
    const int fd =
        ::open(s.Path(directory + "/i" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) {
      ASSERT_EQ(errno, ENOSPC);
      return;
    }
    ::close(fd);
  }
}

std::vector<Case> SpecialFileCases() {
  return {
      // Never opened for data, never waited on, never replaced.
      Case("fifo_as_source", 2, {"fifo"}).Given([](ToolCase& s) { Fifo(s, "fifo"); }),
      Case("fifo_as_source_in_copy", 2, {"-c", "fifo", "dst"}).Given([](ToolCase& s) {
        Fifo(s, "fifo");
      }),
      Case("socket_as_source", 2, {"sock"}).Given([](ToolCase& s) { Socket(s, "sock"); }),
      Case("device_as_source", 2, {"/dev/null"}),
      Case("device_as_source_in_copy", 2, {"-c", "/dev/null", "dst"}),
      Case("dangling_link_as_source", 2, {"link"}).Given([](ToolCase& s) {
        s.Symlink("nowhere", "link");
      }),
      Case("link_loop_as_source", 2, {"a"}).Given([](ToolCase& s) {
        s.Symlink("b", "a");
        s.Symlink("a", "b");
      }),
      Case("fifo_as_key_file", 18, {"-f", "src", "fifo"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Fifo(s, "fifo"); }),
      Case("socket_as_key_file", 18, {"-f", "src", "sock"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Socket(s, "sock"); }),
      Case("device_as_key_file", 18, {"-f", "src", "/dev/null"}).File("src", kPlain),
      Case("dangling_link_as_key_file", 18, {"-f", "src", "link"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.Symlink("nowhere", "link"); }),
      Case("fifo_as_destination", 3, {"-c", "src", "fifo"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Fifo(s, "fifo"); }),
      Case("socket_as_destination", 3, {"-c", "src", "sock"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Socket(s, "sock"); }),
      Case("device_as_destination", 3, {"-c", "src", "null"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Device(s, "null"); }),
      Case("link_to_directory_as_destination", 3, {"-c", "src", "link"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("dir");
            s.Symlink("dir", "link");
          }),
      Case("link_loop_as_destination", 3, {"-c", "src", "a"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.Symlink("b", "a");
            s.Symlink("a", "b");
          }),
      // The file shrinks between taking its size and reading it: nothing is written.
      Case("short_read_of_source", 5, {"-c", kShortFile, "dst"}).Given(NeedShortFile),
      Case("short_read_of_key_file", 5, {"-f", "src", kShortFile})
          .File("src", kPlain)
          .Given(NeedShortFile),
  };
}

std::vector<Case> LimitCases() {
  return {
      // Too large is decided from the size alone, before any memory is asked for.
      Case("source_of_4_GiB", 7, {"big"}).Given([](ToolCase& s) { s.Sparse("big", k4GiB); }),
      Case("source_of_4_GiB_with_little_memory", 7, {"-c", "big", "dst"})
          .Given([](ToolCase& s) { s.Sparse("big", k4GiB); })
          .AddressSpace(kLowMemory),
      Case("key_file_of_5_GiB", 7, {"-f", "src", "big"}).File("src", kPlain).Given([](ToolCase& s) {
        s.Sparse("big", 5 * (k4GiB / 4));
      }),
      // Memory does not grow with the file: it is processed a part at a time.
      Case("large_source_with_little_memory", 0, {"big"})
          .Given([](ToolCase& s) { s.Sparse("big", kLargerThanMemory); })
          .AddressSpace(kLessThanTheFile)
          .Becomes("big", [] { return Ca(Bytes(kLargerThanMemory, '\0')); }),
      Case("key_file_without_memory", 4, {"-c", "-f", "src", "dst", "big"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.Sparse("big", 1U << 30); })
          .AddressSpace(kLowMemory),
      // A file-size limit: the first write fails (6) or stops partway (15); every
      // file keeps what it had and nothing is left behind.
      Case("new_destination_write_fails", 6, {"-c", "src", "dst"}).File("src", kData).FileSize(0),
      Case("new_destination_short_write", 15, {"-c", "src", "dst"})
          .File("src", kData)
          .FileSize(kPartway),
      Case("existing_destination_short_write", 15, {"-c", "src", "dst"})
          .File("src", kData)
          .File("dst", kOld)
          .FileSize(kPartway),
      Case("in_place_write_fails", 6, {"src"}).File("src", kData).FileSize(0),
      Case("in_place_short_write", 15, {"src"}).File("src", kData).FileSize(kPartway),
      Case("in_place_short_write_silent", 15, {"-s", "src"})
          .File("src", kData)
          .FileSize(kPartway)
          .Silent(),
      // Each argument is read from where the last one ended: a run over a long line
      // takes one pass, where a rescan per argument took half a minute here.
      [] {
        std::vector<std::string> args(100000, "-m");
        args.emplace_back("src");
        Case c("hundred_thousand_switches", 0, args);
        c.File("src", kPlain).Becomes("src", XOrData(kPlain, kDefaultKey));
        c.launch.timeoutSeconds = 10;
        return c;
      }(),
      // Names at the length limit: a staged name beside them cannot hold the whole name,
      // yet a direct write serves them, so the run does too.
      Case("name_of_255_bytes_in_place", 0, {kLongestName})
          .File(kLongestName, kPlain)
          .Becomes(kLongestName, Ca(kPlain)),
      Case("name_of_237_bytes_as_new_copy", 0, {"-c", "src", std::string(233, 'n') + ".bin"})
          .File("src", kPlain)
          .Becomes(std::string(233, 'n') + ".bin", Ca(kPlain)),
      Case("name_of_79_cjk_characters_over_a_copy", 0, {"-c", "src", kCjkName})
          .File("src", kPlain)
          .File(kCjkName, kOld)
          .Becomes(kCjkName, Ca(kPlain)),
      Case("name_of_85_cjk_characters_in_place", 0, {kLongestCjkName})
          .File(kLongestCjkName, kPlain)
          .Becomes(kLongestCjkName, Ca(kPlain)),
      // Long enough to take measurable time, so wrong tick arithmetic shows in the report.
      Case("large_file", 0, {"big"})
          .Given([](ToolCase& s) { s.Sparse("big", 48U << 20); })
          .Becomes("big", [] { return Ca(Bytes(48U << 20, '\0')); }),
      Case("write_below_the_limit", 0, {"src"})
          .File("src", kPlain)
          .FileSize(kPartway)
          .Becomes("src", Ca(kPlain)),
      // The overwrite path failing: the bytes already overwritten are put back.
      Case("hard_linked_in_place_write_fails", 6, {"src"})
          .File("src", kData)
          .Given([](ToolCase& s) { s.HardLink("src", "alias"); })
          .FileSize(0),
      Case("hard_linked_in_place_short_write", 15, {"-m", "src"})
          .File("src", kData)
          .Given([](ToolCase& s) { s.HardLink("src", "alias"); })
          .FileSize(kPartway),
      Case("immutable_directory_in_place_short_write", 15, {"locked/src"})
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/src", kData);
          })
          .Given([](ToolCase& s) { s.MakeImmutable("locked"); })
          .FileSize(kPartway),
  };
}

std::vector<Case> PermissionCases() {
  return {
      // No write bit at all is read-only, for root as well.
      Case("read_only_source_in_place", 19, {"src"}).File("src", kPlain, 0444),
      Case("no_write_bit_in_place", 19, {"-m", "src"}).File("src", kPlain, 0555),
      Case("read_only_source_in_place_silent", 19, {"-s", "src"})
          .File("src", kPlain, 0400)
          .Silent(),
      Case("group_write_bit_is_enough", 0, {"src"})
          .Given(NeedRoot)
          .File("src", kPlain, 0020)
          .Becomes("src", Ca(kPlain)),
      Case("read_only_source_copied", 0, {"-c", "src", "dst"})
          .File("src", kPlain, 0444)
          .Becomes("dst", Ca(kPlain)),
      Case("read_only_source_copied_onto_itself", 3, {"-c", "src", "src"})
          .File("src", kPlain, 0444),
      Case("read_only_destination", 3, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld, 0444),
      Case("read_only_key_file_in_place", 0, {"-f", "src", "key"})
          .File("src", kPlain)
          .File("key", "k", 0444)
          .Becomes("src", ComplementAdd(kPlain, "k")),
      // The immutable attribute: only the source in place is probed for writing.
      Case("immutable_source_in_place", 19, {"src"}).File("src", kPlain).Given([](ToolCase& s) {
        s.MakeImmutable("src");
      }),
      Case("immutable_source_copied", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeImmutable("src"); })
          .Becomes("dst", Ca(kPlain)),
      Case("immutable_key_file_is_never_probed", 0, {"-f", "-m", "src", "key"})
          .File("src", kPlain)
          .File("key", "key")
          .Given([](ToolCase& s) { s.MakeImmutable("key"); })
          .Becomes("src", XOrData(kPlain, "key")),
      Case("immutable_destination", 3, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld)
          .Given([](ToolCase& s) { s.MakeImmutable("dst"); }),
      // Append-only: content can be added, never replaced; found before anything is written.
      Case("append_only_destination", 3, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld)
          .Given([](ToolCase& s) { s.MakeAppendOnly("dst"); }),
      Case("append_only_hard_linked_destination", 3, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld)
          .Given([](ToolCase& s) { s.HardLink("dst", "alias"); })
          .Given([](ToolCase& s) { s.MakeAppendOnly("dst"); }),
      Case("append_only_source_in_place", 19, {"src"}).File("src", kPlain).Given([](ToolCase& s) {
        s.MakeAppendOnly("src");
      }),
      Case("append_only_source_copied", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeAppendOnly("src"); })
          .Becomes("dst", Ca(kPlain)),
      // The replacement keeps the replaced file's mode, owner and group.
      Case("in_place_keeps_mode", 0, {"src"}).File("src", kPlain, 0640).Becomes("src", Ca(kPlain)),
      Case("in_place_keeps_owner_and_set_id_bits", 0, {"src"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            Chown(s, "src", 1234, 5678);
            s.Chmod("src", 06750);
          })
          .Becomes("src", Ca(kPlain)),
      Case("copy_keeps_destination_owner", 0, {"-c", "src", "dst"})
          .File("src", kPlain, 0755)
          .File("dst", kOld, 0604)
          .Given([](ToolCase& s) { Chown(s, "dst", 4321, 8765); })
          .Becomes("dst", Ca(kPlain)),
      // A write by anyone without the right to keep set-id bits clears them: they are
      // given again after the last write, whichever way the file is replaced.
      Case("user_in_place_keeps_set_id_bits", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) { OwnedByUser(s, "src", 06755); })
          .Becomes("src", Ca(kData)),
      Case("user_in_place_keeps_set_user_id_bit", 0, {"-m", "src"})
          .AsUser(kUser, kUser)
          .File("src", kPlain)
          .Given([](ToolCase& s) { OwnedByUser(s, "src", 04750); })
          .Becomes("src", XOrData(kPlain, kDefaultKey)),
      Case("user_hard_linked_keeps_set_id_bits", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 06755);
            s.HardLink("src", "alias");
          })
          .Becomes("src", Ca(kData))
          .Becomes("alias", Ca(kData)),
      Case("user_copy_keeps_destination_set_id_bits", 0, {"-c", "src", "dst"})
          .AsUser(kUser, kUser)
          .File("src", kPlain)
          .File("dst", kOld)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 0644);
            OwnedByUser(s, "dst", 02750);
          })
          .Becomes("dst", Ca(kPlain)),
      // A set-group-ID folder gives new files its group: the replacement keeps the old.
      Case("set_group_id_directory_keeps_group", 0, {"shared/src"})
          .Given([](ToolCase& s) { SharedDirectory(s, "shared"); })
          .File("shared/src", kData, 0640)
          .Given([](ToolCase& s) { Chown(s, "shared/src", 0, 0); })
          .Becomes("shared/src", Ca(kData)),
      Case("set_group_id_directory_keeps_group_of_a_copy", 0, {"-c", "src", "shared/dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { SharedDirectory(s, "shared"); })
          .File("shared/dst", kOld)
          .Given([](ToolCase& s) {
            Chown(s, "shared/dst", 0, 0);
            s.Chmod("shared/dst", 02750);
          })
          .Becomes("shared/dst", Ca(kPlain)),
      Case("user_set_group_id_directory_keeps_group", 0, {"shared/src"})
          .AsUser(kUser, kUser)
          .Given([](ToolCase& s) { SharedDirectory(s, "shared"); })
          .File("shared/src", kData)
          .Given([](ToolCase& s) { OwnedByUser(s, "shared/src", 02750); })
          .Becomes("shared/src", Ca(kData)),
      // A group the user is not in cannot be given to a new file: the old is overwritten.
      Case("user_file_of_a_foreign_group", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) {
            Chown(s, "src", kUser, kSharedGroup);
            s.Chmod("src", 0640);
          })
          .Becomes("src", Ca(kData)),
      // A new destination is made like any new file: 0666 less the umask.
      Case("new_destination_umask_022", 0, {"-c", "src", "dst"})
          .File("src", kPlain, 0600)
          .Becomes("dst", Ca(kPlain)),
      Case("new_destination_umask_077", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .Umask(077)
          .Becomes("dst", Ca(kPlain)),
      Case("new_destination_umask_000", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .Umask(0)
          .Becomes("dst", Ca(kPlain)),
      Case("new_destination_umask_027", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .Umask(027)
          .Becomes("dst", Ca(kPlain)),
  };
}

std::vector<Case> LinkCases() {
  return {
      // The key file is never the file written, by whatever name; as a source it may be
      // read into a copy.
      Case("key_file_as_source_in_place", 3, {"-s", "-f", "k.txt", "k.txt"})
          .File("k.txt", kPlain)
          .Silent(),
      Case("key_file_as_destination", 3, {"-c", "-f", "doc", "key.bin", "key.bin"})
          .File("doc", kData)
          .File("key.bin", kPlain),
      Case("key_file_as_destination_by_another_spelling", 3, {"-c", "-f", "doc", "./key", "key"})
          .File("doc", kData)
          .File("key", kPlain),
      Case("key_file_as_destination_through_a_hard_link", 3, {"-c", "-f", "doc", "alias", "key"})
          .File("doc", kData)
          .File("key", kPlain)
          .Given([](ToolCase& s) { s.HardLink("key", "alias"); }),
      Case("key_file_as_destination_through_a_symlink", 3, {"-c", "-f", "doc", "link", "key"})
          .File("doc", kData)
          .File("key", kPlain)
          .Given([](ToolCase& s) { s.Symlink("key", "link"); }),
      Case("key_file_as_source_in_copy", 0, {"-c", "-f", "key", "out", "key"})
          .File("key", kPlain)
          .Becomes("out", ComplementAdd(kPlain, kPlain)),
      // The clean-up of a killed run's staged files never takes the run's own files,
      // however they are named, and runs only once both are open.
      Case("key_file_named_like_a_staged_file", 0,
           {"-f", "data.bin", ".data.bin.velmoran-0123abcd"})
          .File("data.bin", kData)
          .File(".data.bin.velmoran-0123abcd", kPlain, 0600)
          .Becomes("data.bin", ComplementAdd(kData, kPlain)),
      Case("copy_source_named_like_a_staged_file", 0, {"-c", ".out.velmoran-0123abcd", "out"})
          .File(".out.velmoran-0123abcd", kPlain, 0600)
          .Becomes("out", Ca(kPlain)),
      Case("copy_source_named_like_a_staged_file_of_an_existing_copy", 0,
           {"-c", ".out.velmoran-0123abcd", "out"})
          .File(".out.velmoran-0123abcd", kPlain, 0600)
          .File("out", kOld)
          .Becomes("out", Ca(kPlain)),
      Case("source_named_like_a_staged_file_missing_key_file", 18,
           {"-c", "-f", ".out2.bin.velmoran-0000abcd", "out2.bin", "/missing/key"})
          .File(".out2.bin.velmoran-0000abcd", kPlain, 0600),
      // In a sticky folder anyone may write, a link is followed only where the kernel's
      // protected_symlinks rule would: the caller's own, or the folder owner's.
      Case("other_users_link_in_sticky_folder", 3, {"-c", "-k", "src.txt", "pub/out", "key"})
          .File("src.txt", kPlain)
          .File("secret", kOld, 0600)
          .Given([](ToolCase& s) { PlantLink(s, "../secret", 01777, kOtherUser, 0); }),
      Case("other_users_dangling_link_in_sticky_folder", 3,
           {"-c", "-k", "src.txt", "pub/out", "key"})
          .File("src.txt", kPlain)
          .Given([](ToolCase& s) { PlantLink(s, "../made", 01777, kOtherUser, 0); }),
      Case("own_link_in_sticky_folder", 0, {"-c", "-k", "src.txt", "pub/out", "key"})
          .File("src.txt", kPlain)
          .File("target", kOld, 0600)
          .Given([](ToolCase& s) { PlantLink(s, "../target", 01777, 0, 0); })
          .Becomes("target", ComplementAdd(kPlain, "key")),
      Case("folder_owners_link_in_sticky_folder", 0, {"-c", "-k", "src.txt", "pub/out", "key"})
          .File("src.txt", kPlain)
          .File("target", kOld, 0600)
          .Given([](ToolCase& s) { PlantLink(s, "../target", 01777, kOtherUser, kOtherUser); })
          .Becomes("target", ComplementAdd(kPlain, "key")),
      Case("other_users_link_in_sticky_folder_only_owner_writes", 0,
           {"-c", "-k", "src.txt", "pub/out", "key"})
          .File("src.txt", kPlain)
          .File("target", kOld, 0600)
          .Given([](ToolCase& s) { PlantLink(s, "../target", 01755, kOtherUser, 0); })
          .Becomes("target", ComplementAdd(kPlain, "key")),
      // A symbolic link is followed once; its target is replaced and it stays a link.
      Case("in_place_through_symlink", 0, {"link"})
          .File("real", kPlain, 0640)
          .Given([](ToolCase& s) { s.Symlink("real", "link"); })
          .Becomes("real", Ca(kPlain)),
      Case("copy_through_symlink_into_other_directory", 0, {"-c", "src", "link"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("sub");
            s.Write("sub/target", kOld, 0600);
            s.Symlink("sub/target", "link");
          })
          .Becomes("sub/target", Ca(kPlain)),
      Case("relative_symlink_in_subdirectory", 0, {"-c", "src", "sub/link"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("sub");
            s.Write("sub/target", kOld);
            s.Symlink("target", "sub/link");
          })
          .Becomes("sub/target", Ca(kPlain)),
      Case("absolute_symlink_chain", 0, {"-c", "src", "first"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("sub");
            s.Write("sub/target", kOld);
            s.Symlink(s.Path("sub/target"), "second");
            s.Symlink("second", "first");
          })
          .Becomes("sub/target", Ca(kPlain)),
      Case("dangling_symlink_destination_creates_target", 0, {"-c", "src", "link"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.Symlink("made", "link"); })
          .Becomes("made", Ca(kPlain)),
      // Every name of a hard-linked file sees the new bytes.
      Case("hard_linked_in_place", 0, {"src"})
          .File("src", kData, 0640)
          .Given([](ToolCase& s) {
            s.MakeDirectory("sub");
            s.HardLink("src", "sub/alias");
          })
          .Becomes("src", Ca(kData))
          .Becomes("sub/alias", Ca(kData)),
      Case("hard_linked_in_place_round_trip", 0, {"-m", "src"})
          .Then({"-m", "alias"})
          .File("src", kData)
          .Given([](ToolCase& s) { s.HardLink("src", "alias"); }),
      Case("hard_linked_destination_shrinks", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld + kOld + kOld)
          .Given([](ToolCase& s) { s.HardLink("dst", "alias"); })
          .Becomes("dst", Ca(kPlain))
          .Becomes("alias", Ca(kPlain)),
      // A directory that refuses new files: the file inside is overwritten in place.
      Case("immutable_directory_in_place", 0, {"locked/src"})
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/src", kData, 0600);
          })
          .Given([](ToolCase& s) { s.MakeImmutable("locked"); })
          .Becomes("locked/src", Ca(kData)),
      Case("immutable_directory_longer_destination", 0, {"-c", "src", "locked/dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/dst", kOld + kOld);
          })
          .Given([](ToolCase& s) { s.MakeImmutable("locked"); })
          .Becomes("locked/dst", Ca(kPlain)),
      // A folder its owner may write and search but not read: staging works there.
      Case("unreadable_directory_in_place", 0, {"box/src"})
          .AsUser(kUser, kUser)
          .Given([](ToolCase& s) {
            s.MakeDirectory("box");
            s.Write("box/src", kData);
            OwnedByUser(s, "box/src", 0640);
            OwnedByUser(s, "box", 0300);
          })
          .Becomes("box/src", Ca(kData)),
      Case("unreadable_directory_new_destination", 0, {"-c", "src", "box/dst"})
          .AsUser(kUser, kUser)
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 0644);
            s.MakeDirectory("box");
            OwnedByUser(s, "box", 0300);
          })
          .Becomes("box/dst", Ca(kPlain)),
      // A folder where files can be added but never renamed or removed: a staged file
      // could neither be put in place nor taken away, so none is made.
      Case("append_only_directory_in_place", 0, {"locked/src"})
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/src", kData, 0600);
          })
          .Given(AppendOnly("locked"))
          .Becomes("locked/src", Ca(kData)),
      Case("append_only_directory_copy", 0, {"-c", "src", "locked/dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/dst", kOld);
          })
          .Given(AppendOnly("locked"))
          .Becomes("locked/dst", Ca(kPlain)),
      Case("append_only_directory_new_destination", 3, {"-c", "src", "locked/dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeDirectory("locked"); })
          .Given(AppendOnly("locked")),
      Case("immutable_directory_new_destination", 3, {"-c", "src", "locked/dst"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeDirectory("locked"); })
          .Given([](ToolCase& s) { s.MakeImmutable("locked"); }),
  };
}

// Runs the tool where an empty tmpfs hides /proc, in a mount namespace of its own.
const std::vector<std::string> kWithoutProc = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                               "mount -t tmpfs none /proc && exec \"$0\" \"$@\""};

// A sanitized build or valgrind needs /proc itself (the leak check fails without it, and
// says so on standard error), so only a plain build is run without it.
void NeedRootAndPlainBuild(ToolCase& s) {
  NeedRoot(s);
  if (std::getenv("ASAN_OPTIONS") != nullptr || std::getenv("VELMORAN_HARDENING_TOOL") != nullptr) {
    GTEST_SKIP() << "a sanitized or wrapped tool cannot run without /proc";
  }
}

std::vector<Case> MountCases() {
  const auto readOnlyDirectory = [](ToolCase& s) {
    s.MakeDirectory("dir");
    s.Write("dir/src", kPlain);
    s.MakeDirectory("ro");
    s.BindMount("dir", "ro", true);
  };
  const auto smallDisk = [](ToolCase& s) {
    s.MakeDirectory("full");
    s.MountTmpfs("full", "size=64k,nr_inodes=64");
  };
  return {
      // A full disk is never a reason to write over the file itself.
      Case("no_inode_left_for_destination", 3, {"-c", "src", "full/dst"})
          .File("src", kPlain)
          .Given(smallDisk)
          .File("full/dst", kOld)
          .Given([](ToolCase& s) { FillInodes(s, "full"); }),
      Case("no_inode_left_in_place", 3, {"full/src"})
          .Given(smallDisk)
          .File("full/src", kPlain)
          .Given([](ToolCase& s) { FillInodes(s, "full"); }),
      Case("no_block_left_for_destination", 6, {"-c", "src", "full/dst"})
          .File("src", kData)
          .Given(smallDisk)
          .File("full/dst", kOld)
          .Given([](ToolCase& s) { FillBlocks(s, "full/filler", 0); }),
      Case("disk_full_partway_for_destination", 15, {"-c", "src", "full/dst"})
          .File("src", kData)
          .Given(smallDisk)
          .File("full/dst", kOld)
          .Given([](ToolCase& s) { FillBlocks(s, "full/filler", 4096); }),
      Case("disk_full_partway_in_place", 15, {"full/src"})
          .Given(smallDisk)
          .File("full/src", kData)
          .Given([](ToolCase& s) { FillBlocks(s, "full/filler", 4096); }),
      // A file mounted over another name cannot be renamed over: it is overwritten.
      Case("bind_mounted_destination", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("outside", kOld + kOld, 0640)
          .File("dst", kOld)
          .Given([](ToolCase& s) { s.BindMount("outside", "dst", false); })
          .Becomes("outside", Ca(kPlain))
          .Becomes("dst", Ca(kPlain)),
      Case("bind_mounted_in_place", 0, {"dst"})
          .File("outside", kData)
          .File("dst", kOld)
          .Given([](ToolCase& s) { s.BindMount("outside", "dst", false); })
          .Becomes("outside", Ca(kData))
          .Becomes("dst", Ca(kData)),
      // Without /proc an unnamed file cannot be given a name: a named one is staged.
      Case("in_place_without_proc", 0, {"src"})
          .Given(NeedRootAndPlainBuild)
          .File("src", kData, 0640)
          .Through(kWithoutProc)
          .Becomes("src", Ca(kData)),
      Case("copy_without_proc", 0, {"-c", "src", "dst"})
          .Given(NeedRootAndPlainBuild)
          .File("src", kPlain)
          .File("dst", kOld)
          .Through(kWithoutProc)
          .Becomes("dst", Ca(kPlain)),
      // A read-only file system is never written over in place.
      Case("read_only_file_system_in_place", 19, {"ro/src"}).Given(readOnlyDirectory),
      Case("read_only_file_system_existing_destination", 3, {"-c", "ro/src", "ro/src"})
          .Given(readOnlyDirectory),
      Case("read_only_file_system_new_destination", 3, {"-c", "ro/src", "ro/new"})
          .Given(readOnlyDirectory),
      Case("read_only_file_system_source_copied_out", 0, {"-c", "ro/src", "out"})
          .Given(readOnlyDirectory)
          .Becomes("out", Ca(kPlain)),
  };
}

// Standard error closed by its reader (`velmoran ... 2>&1 | true`): the message cannot
// be written, and the exit code is still the status, never a signal.
std::vector<Case> ClosedErrorsCases() {
  return {
      Case("success_in_place", 0, {"-k", "src", "key"})
          .File("src", kData)
          .Becomes("src", ComplementAdd(kData, "key"))
          .ClosedErrors(),
      Case("success_in_copy", 0, {"-c", "-m", "src", "dst"})
          .File("src", kData)
          .Becomes("dst", XOrData(kData, kDefaultKey))
          .ClosedErrors(),
      Case("missing_source", 2, {"nothing"}).ClosedErrors(),
      Case("usage", 1, {}).ClosedErrors(),
      Case("silent_success", 0, {"-s", "src"})
          .File("src", kData)
          .Becomes("src", Ca(kData))
          .ClosedErrors(),
  };
}

INSTANTIATE_TEST_SUITE_P(ClosedErrors, ToolCase,
                         ::testing::ValuesIn(FromAnotherFolderToo(ClosedErrorsCases())),
                         CaseName());

// Whatever describes a file stays: its access list exactly, its extended attributes
// and the flags its owner set. A folder's default access list never adds entries.
std::vector<Case> AttributeCases() {
  const auto sharedByDefault = [](ToolCase& s) {
    s.MakeDirectory("shared");
    Shell(s, "setfacl -d -m u:65534:rw shared");
  };
  return {
      Case("in_place_keeps_access_list", 0, {"src"})
          .File("src", kData, 0640)
          .Given([](ToolCase& s) { Shell(s, "setfacl -m u:65534:rw src"); })
          .Becomes("src", Ca(kData)),
      Case("in_place_keeps_user_attribute", 0, {"src"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { Shell(s, "setfattr -n user.origin -v x src"); })
          .Becomes("src", Ca(kPlain)),
      Case("in_place_keeps_trusted_attribute", 0, {"src"})
          .Given(NeedRoot)
          .File("src", kPlain)
          .Given([](ToolCase& s) { Shell(s, "setfattr -n trusted.origin -v y src"); })
          .Becomes("src", Ca(kPlain)),
      Case("in_place_keeps_file_flags", 0, {"src"})
          .File("src", kData)
          .Given([](ToolCase& s) { Shell(s, "chattr +d +A src"); })
          .Becomes("src", Ca(kData)),
      Case("copy_keeps_destination_attributes", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld, 0660)
          .Given([](ToolCase& s) {
            Shell(s, "setfacl -m u:65534:r,g:65534:rw dst && setfattr -n user.a -v 1 dst");
          })
          .Becomes("dst", Ca(kPlain)),
      Case("default_access_list_adds_nothing", 0, {"shared/src"})
          .Given(sharedByDefault)
          .File("shared/src", kData)
          .Given([](ToolCase& s) { Shell(s, "setfacl -b shared/src && chmod 660 shared/src"); })
          .Becomes("shared/src", Ca(kData)),
      Case("default_access_list_leaves_own_list", 0, {"-m", "shared/src"})
          .Given(sharedByDefault)
          .File("shared/src", kPlain)
          .Given([](ToolCase& s) { Shell(s, "setfacl -b -m u:65534:r shared/src"); })
          .Becomes("shared/src", XOrData(kPlain, kDefaultKey)),
      Case("user_keeps_access_list_and_attributes", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 0640);
            Shell(s, "setfacl -m u:65534:rw src && setfattr -n user.origin -v z src");
          })
          .Becomes("src", Ca(kData)),
      // What only root may give a file (a security.* attribute, journalled data) cannot
      // be given to a new file by the user's run: the file itself is overwritten instead.
      Case("user_keeps_an_attribute_only_root_sets", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 0640);
            Shell(s, "setfattr -n security.origin -v w src");
          })
          .Becomes("src", Ca(kData)),
      Case("user_keeps_a_flag_only_root_sets", 0, {"src"})
          .AsUser(kUser, kUser)
          .File("src", kData)
          .Given([](ToolCase& s) {
            OwnedByUser(s, "src", 0640);
            Shell(s, "chattr +j src");
          })
          .Becomes("src", Ca(kData)),
  };
}

INSTANTIATE_TEST_SUITE_P(Attribute, ToolCase,
                         ::testing::ValuesIn(FromAnotherFolderToo(AttributeCases())), CaseName());
INSTANTIATE_TEST_SUITE_P(Mount, ToolCase, ::testing::ValuesIn(FromAnotherFolderToo(MountCases())),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(SpecialFile, ToolCase,
                         ::testing::ValuesIn(FromAnotherFolderToo(SpecialFileCases())), CaseName());
INSTANTIATE_TEST_SUITE_P(Limit, ToolCase, ::testing::ValuesIn(FromAnotherFolderToo(LimitCases())),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Permission, ToolCase,
                         ::testing::ValuesIn(FromAnotherFolderToo(PermissionCases())), CaseName());
INSTANTIATE_TEST_SUITE_P(Link, ToolCase, ::testing::ValuesIn(FromAnotherFolderToo(LinkCases())),
                         CaseName());

}  // namespace
}  // namespace e2e
