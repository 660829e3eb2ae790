#include "e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace e2e {
namespace {

// Big enough for every file a case compares by content, small enough to skip the
// sparse multi-GiB ones.
constexpr off_t kContentLimit = 64 << 20;

void Check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error(what + ": errno " + std::to_string(errno));
  }
}

Bytes ReadAll(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  Check(fd >= 0, "open " + path);
  Bytes bytes;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  Check(got == 0, "read " + path);
  return bytes;
}

// The flags a replacement carries, and those that forbid one.
constexpr unsigned kComparedFlags =
    FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL |
    FS_NOCOW_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_IMMUTABLE_FL | FS_APPEND_FL;

// Sorted "name=value" lines of every extended attribute, then "flags=hex".
Bytes AttributesOf(const std::string& path, mode_t type) {
  std::vector<char> names(65536);
  const ssize_t length = ::llistxattr(path.c_str(), names.data(), names.size());
  std::vector<std::string> lines;
  const std::size_t end = length < 0 ? 0 : static_cast<std::size_t>(length);
  for (std::size_t at = 0; at < end; at += std::strlen(&names[at]) + 1) {
    std::vector<char> value(65536);
    const ssize_t size = ::lgetxattr(path.c_str(), &names[at], value.data(), value.size());
    lines.push_back(
        std::string(&names[at]) + "=" +
        (size < 0 ? "<unreadable>" : std::string(value.data(), static_cast<std::size_t>(size))));
  }
  std::sort(lines.begin(), lines.end());
  Bytes text;
  for (const auto& line : lines) {
    text += line + "\n";
  }
  if (type == S_IFREG || type == S_IFDIR) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (static_cast<unsigned>(flags) & kComparedFlags) != 0) {
      std::ostringstream hex;
      hex << "flags=" << std::hex << (static_cast<unsigned>(flags) & kComparedFlags) << "\n";
      text += hex.str();
    }
    if (fd >= 0) {
      ::close(fd);
    }
  }
  return text;
}

void SnapshotInto(const std::string& root, const std::string& relative, Tree& tree) {
  DIR* dir = ::opendir((root + relative).c_str());
  Check(dir != nullptr, "opendir " + relative);
  while (const dirent* item = ::readdir(dir)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    const std::string path = relative + "/" + name;
    const std::string full = root + path;
    struct stat info {};
    Check(::lstat(full.c_str(), &info) == 0, "lstat " + path);
    Entry entry;
    entry.mode = info.st_mode & 07777;
    entry.uid = info.st_uid;
    entry.gid = info.st_gid;
    entry.links = info.st_nlink;
    entry.attributes = AttributesOf(full, info.st_mode & S_IFMT);
    switch (info.st_mode & S_IFMT) {
      case S_IFREG:
        entry.type = 'f';
        if (info.st_size > kContentLimit) {
          entry.data = "<" + std::to_string(info.st_size) + " bytes>";
        } else {
          entry.data = ReadAll(full);
        }
        break;
      case S_IFDIR: entry.type = 'd'; break;
      case S_IFLNK: {
        entry.type = 'l';
        entry.data = std::filesystem::read_symlink(full).string();
        break;
      }
      case S_IFIFO: entry.type = 'p'; break;
      case S_IFSOCK: entry.type = 's'; break;
      case S_IFCHR: entry.type = 'c'; break;
      case S_IFBLK: entry.type = 'b'; break;
      default: entry.type = '?'; break;
    }
    tree[path.substr(1)] = entry;
    if (entry.type == 'd') {
      SnapshotInto(root, path, tree);
    }
  }
  ::closedir(dir);
}

std::string Describe(const Entry& e) {
  std::ostringstream text;
  text << e.type << " mode " << std::oct << e.mode << std::dec << " owner " << e.uid << ':' << e.gid
       << " links " << e.links << ", attributes [" << e.attributes << "], " << e.data.size()
       << " bytes:";
  for (std::size_t i = 0; i < e.data.size() && i < 24; ++i) {
    text << ' ' << std::hex << std::setw(2) << std::setfill('0')
         << (static_cast<unsigned>(e.data[i]) & 0xFFU);
  }
  return text.str();
}

std::string Differences(const Tree& expected, const Tree& actual) {
  std::string report;
  for (const auto& [path, entry] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      report += "  missing " + path + "\n";
    } else if (!(found->second == entry)) {
      report += "  " + path + "\n    expected " + Describe(entry) + "\n    actual   " +
                Describe(found->second) + "\n";
    }
  }
  for (const auto& [path, entry] : actual) {
    if (expected.count(path) == 0) {
      report += "  unexpected " + path + " (" + Describe(entry) + ")\n";
    }
  }
  return report;
}

// The success report: two unsigned decimals, which together cannot exceed the
// child's wall time (each tick difference may round up by one millisecond).
void ExpectSuccessReport(const Outcome& outcome) {
  static const std::regex report(
      "Velmoran: Encryption/decryption successful\\.\n\n"
      "Time used for file input/output: (0|[1-9][0-9]*) milliseconds\n"
      "Time used for encryption/decryption: (0|[1-9][0-9]*) milliseconds\n");
  std::smatch numbers;
  ASSERT_TRUE(std::regex_match(outcome.err, numbers, report)) << outcome.err;
  const long long io = std::stoll(numbers[1]);
  const long long cipher = std::stoll(numbers[2]);
  EXPECT_LE(io + cipher, outcome.elapsedMilliseconds + 3) << outcome.err;
}

}  // namespace

Bytes SomeBytes(std::size_t length, std::uint32_t seed) {
  Bytes bytes(length, '\0');
  std::uint32_t state = seed * 2654435761U + 1;
  for (std::size_t i = 0; i < length; ++i) {
    state = state * 1664525U + 1013904223U;
    // Every byte value appears in any 256 consecutive bytes' worth of offsets.
    bytes[i] = static_cast<char>((state >> 24U) ^ (i & 0xFFU));
  }
  return bytes;
}

std::string StatusText(int status) {
  static const char* const texts[] = {
      "",
      "File encryption/decryption tool\r\rUsage: Velmoran.exe [-k] [-f] [-s] [-c] [-m] source "
      "[destination] [key|keyfile]\r\rSwitches described:\r\t-k: use command line provided key "
      "string\r\t-f: use key file\r\t-s: silent modus\r\t-c: copy/create new file at different "
      "location\r\t-m: use masmlib XOrData algorithm",
      "Invalid filename or unable to open source file",
      "Unable to create destination file",
      "Insufficient memory",
      "Unable to read file data",
      "Unable to write destination data",
      "The specified file is too large for processing",
      "Invalid command: incorrect order of arguments",
      "Invalid command: unknown command flag",
      "Invalid command: no matching quotation marks",
      "Invalid command: source file expected",
      "Invalid command: too much arguments",
      "Invalid command: empty path/key string value",
      "Zero size file",
      "Unable to write full destination data",
      "Invalid command: copy flag set, destination file expected",
      "Invalid command: one of key flags set, key/keyfile value expected",
      "Invalid filename or unable to open key file",
      "File write error. The source file has readonly attributes or is used by another program.",
  };
  return texts[status];
}

bool Entry::operator==(const Entry& other) const {
  return type == other.type && mode == other.mode && uid == other.uid && gid == other.gid &&
         links == other.links && data == other.data && attributes == other.attributes;
}

Case::Case(std::string caseName, int expectedStatus, std::vector<std::string> args)
    : name(std::move(caseName)), status(expectedStatus), commands{std::move(args)} {}

Case& Case::Then(std::vector<std::string> args) {
  commands.push_back(std::move(args));
  return *this;
}

Case& Case::File(std::string fileName, Bytes bytes, unsigned mode) {
  return Given([=](ToolCase& s) { s.Write(fileName, bytes, mode); });
}

Case& Case::Given(std::function<void(ToolCase&)> step) {
  steps.push_back(std::move(step));
  return *this;
}

Case& Case::Becomes(std::string fileName, Bytes bytes) {
  return Becomes(std::move(fileName), [bytes] { return bytes; });
}

Case& Case::Becomes(std::string fileName, std::function<Bytes()> bytes) {
  after[std::move(fileName)] = std::move(bytes);
  return *this;
}

Case& Case::Silent() {
  silent = true;
  return *this;
}

Case& Case::AddressSpace(rlim_t bytes) {
  launch.addressSpace = bytes;
  return *this;
}

Case& Case::FileSize(rlim_t bytes) {
  launch.fileSize = bytes;
  return *this;
}

Case& Case::Umask(mode_t mask) {
  launch.umask = mask;
  return *this;
}

Case& Case::Argv0(std::string path) {
  launch.argv0 = std::move(path);
  return *this;
}

Case& Case::ClosedErrors() {
  launch.closedErrors = true;
  return *this;
}

Case& Case::AsUser(unsigned uid, unsigned gid) {
  user = std::make_pair(uid, gid);
  return Through({"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                  "--regid=" + std::to_string(gid), "--clear-groups"});
}

Case& Case::Through(std::vector<std::string> program) {
  wrapper = std::move(program);
  return *this;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name << ':';
  for (const auto& command : c.commands) {
    *os << " [";
    constexpr std::size_t kShown = 12;  // a line of many thousand arguments stays readable
    for (std::size_t i = 0; i < command.size() && i < kShown; ++i) {
      const std::string& arg = command[i];
      *os << " \"" << arg.substr(0, 40) << (arg.size() > 40 ? "...\"" : "\"");
    }
    if (command.size() > kShown) {
      *os << " ... " << command.size() - kShown << " more";
    }
    *os << " ]";
  }
}

void ToolCase::MakeImmutable(const std::string& name) {
  if (!ScratchDirectory::MakeImmutable(name)) {
    GTEST_SKIP() << "no immutable attribute here: errno " << errno;
  }
}

void ToolCase::BindMount(const std::string& from, const std::string& onto, bool readOnly) {
  if (!Mount(Path(from), onto, nullptr, MS_BIND, "")) {
    GTEST_SKIP() << "cannot bind-mount here: errno " << errno;
  }
  if (readOnly) {
    Check(::mount(nullptr, Path(onto).c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                  nullptr) == 0,
          "remount read-only " + onto);
  }
}

void ToolCase::MountTmpfs(const std::string& onto, const std::string& options) {
  if (!Mount("velmoran-e2e", onto, "tmpfs", 0, options)) {
    GTEST_SKIP() << "cannot mount tmpfs here: errno " << errno;
  }
}

Tree ToolCase::Snapshot() const {
  Tree tree;
  SnapshotInto(Root(), "", tree);
  return tree;
}

void ToolCase::RunCase(const Case& c) {
  if (c.user) {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "only root can run the tool as another user";
    }
    Check(::chown(Root().c_str(), c.user->first, c.user->second) == 0, "chown " + Root());
  }
  for (const auto& step : c.steps) {
    step(*this);
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
  }
  const Tree before = Snapshot();
  for (const auto& args : c.commands) {
    Launch launch = c.launch;
    launch.args = args;
    launch.directory = Root();
    if (!c.wrapper.empty()) {
      launch.program = c.wrapper.front();
      launch.args.assign(c.wrapper.begin() + 1, c.wrapper.end());
      launch.args.push_back(ToolPath());
      launch.args.insert(launch.args.end(), args.begin(), args.end());
    }
    const Outcome outcome = e2e::Run(launch);
    ASSERT_FALSE(outcome.timedOut) << "the tool blocked";
    ASSERT_EQ(outcome.signal, 0) << "the tool was killed by a signal";
    EXPECT_EQ(outcome.exitCode, c.status);
    EXPECT_EQ(outcome.out, "");
    if (c.silent || c.launch.closedErrors) {
      EXPECT_EQ(outcome.err, "");
    } else if (c.status == 0) {
      ExpectSuccessReport(outcome);
    } else {
      EXPECT_EQ(outcome.err, MessageOutput(StatusText(c.status)));
    }
  }
  Tree expected = before;
  for (const auto& [path, bytes] : c.after) {
    Entry& entry = expected[path];
    if (entry.type == 0) {  // a new file, made as any new file is, by whoever ran
      const unsigned uid = c.user ? c.user->first : ::geteuid();
      const unsigned gid = c.user ? c.user->second : ::getegid();
      entry = Entry{'f', 0666U & ~static_cast<unsigned>(c.launch.umask), uid, gid, 1, {}, {}};
    }
    entry.data = bytes();
  }
  const Tree actual = Snapshot();
  EXPECT_TRUE(actual == expected) << "files after the run differ:\n"
                                  << Differences(expected, actual);
}

TEST_P(ToolCase, Behaves) { RunCase(GetParam()); }

}  // namespace e2e
