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
#include <utility>
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

// The arguments of a command that name files, by the roles the tool gives them: an
// argument of two characters (once its quotation marks are gone) is a switch; of the
// others the first is the source, the second the destination after -c (else the key),
// the third the key; the key names a file after -f.
std::vector<std::size_t> PathArguments(const std::vector<std::string>& args) {
  std::vector<std::size_t> paths;
  bool copy = false;
  bool keyFile = false;
  std::size_t positional = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string bare = args[i];
    bare.erase(std::remove(bare.begin(), bare.end(), '"'), bare.end());
    if (bare.size() == 2) {
      copy = copy || bare[1] == 'c';
      keyFile = keyFile || bare[1] == 'f';
      continue;
    }
    ++positional;
    const bool key = positional == (copy ? 3U : 2U);
    if (!key || keyFile) {
      paths.push_back(i);
    }
  }
  return paths;
}

// Statuses that the command line decides before any file is named to the system.
bool IsCommandLineStatus(int status) {
  return status == 1 || (status >= 8 && status <= 13) || status == 16 || status == 17;
}

std::string TopLevelNames(const std::string& folder) {
  std::string names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names += entry.path().filename().string() + " ";
  }
  return names;
}

}  // namespace

std::vector<Case> FromAnotherFolderToo(const std::vector<Case>& cases) {
  std::vector<Case> all = cases;
  bool relative = true;
  for (const Case& c : cases) {
    if (IsCommandLineStatus(c.status)) {
      continue;
    }
    Case away = c;
    away.start = relative ? StartIn::AboveByRelativePaths : StartIn::AboveByAbsolutePaths;
    away.name += relative ? "_from_above_by_relative_paths" : "_from_above_by_absolute_paths";
    all.push_back(away);
    relative = !relative;
  }
  return all;
}

StartFolder::StartFolder(const Case& c) {
  if (c.start != StartIn::FilesFolder) {
    above_.emplace("e2e-start");
  }
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

Case& Case::NativeOnly(std::string why) {
  nativeOnly = std::move(why);
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

ToolCase::~ToolCase() {
  for (auto undo = atEnd_.rbegin(); undo != atEnd_.rend(); ++undo) {
    (*undo)();
  }
}

void ToolCase::AtEnd(std::function<void()> undo) { atEnd_.push_back(std::move(undo)); }

void ToolCase::MakeImmutable(const std::string& name) {
  if (!ScratchDirectory::MakeImmutable(name)) {
    GTEST_SKIP() << "no immutable attribute here: errno " << errno;
  }
}

void ToolCase::MakeAppendOnly(const std::string& name) {
  if (!ScratchDirectory::MakeAppendOnly(name)) {
    GTEST_SKIP() << "no append-only attribute here: errno " << errno;
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
  if (UnderWine() && !c.nativeOnly.empty()) {
    GTEST_SKIP() << "native build only: " << c.nativeOnly;
  }
  if (c.user) {
    if (::geteuid() != 0) {
      GTEST_SKIP() << "only root can run the tool as another user";
    }
    Check(::chown(Root().c_str(), c.user->first, c.user->second) == 0, "chown " + Root());
    if (above_) {  // the user starts there and reaches the files through it
      Check(::chmod(above_->Root().c_str(), 0755) == 0, "chmod " + above_->Root());
    }
  }
  for (const auto& step : c.steps) {
    step(*this);
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
  }
  const Tree before = Snapshot();
  const std::string filesFolder = std::filesystem::path(Root()).filename().string();
  for (const auto& args : c.commands) {
    Launch launch = c.launch;
    launch.args = args;
    launch.directory = Root();
    if (c.start != StartIn::FilesFolder) {
      launch.directory = above_->Root();
      const std::string folder =
          c.start == StartIn::AboveByRelativePaths ? filesFolder : AbsoluteSpelling(Root());
      for (const std::size_t i : PathArguments(args)) {
        if (args[i].rfind('/', 0) != 0) {  // an absolute path leads there already
          launch.args[i] = Inside(folder, args[i]);
        }
      }
    }
    if (!c.wrapper.empty()) {
      std::vector<std::string> wrapped(c.wrapper.begin() + 1, c.wrapper.end());
      wrapped.push_back(ToolPath());
      wrapped.insert(wrapped.end(), launch.args.begin(), launch.args.end());
      launch.program = c.wrapper.front();
      launch.args = std::move(wrapped);
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
  Tree actual = Snapshot();
  if (UnderWine()) {
    // Windows keeps a file's access list, which Wine maps to and from the Unix mode
    // lossily (it has no group); of the mode, the Windows build sees and keeps only
    // the read-only attribute. Its access lists are compared in the Windows suite.
    for (Tree* tree : {&expected, &actual}) {
      for (auto& [path, entry] : *tree) {
        entry.mode &= entry.type == 'f' ? 0200U : 07777U;
      }
    }
  }
  EXPECT_TRUE(actual == expected) << "files after the run differ:\n"
                                  << Differences(expected, actual);
  if (c.start != StartIn::FilesFolder) {
    EXPECT_EQ(TopLevelNames(above_->Root()), filesFolder + " ")
        << "the run wrote where it was started";
  }
}

TEST_P(ToolCase, Behaves) { RunCase(GetParam()); }

}  // namespace e2e
