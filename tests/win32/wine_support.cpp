#include "wine_support.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace wintest {

namespace {

void RemoveTree(const std::string& path) {
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((path + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") {
        continue;
      }
      const std::string child = path + "\\" + name;
      ::SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveTree(child);
      } else {
        ::DeleteFileA(child.c_str());
      }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  ::RemoveDirectoryA(path.c_str());
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + " (error " + std::to_string(::GetLastError()) + ")");
}

}  // namespace

const std::string& ToolPath() {
  static const std::string path = [] {
    const char* given = std::getenv("VELMORAN_EXE");
    if (given == nullptr) {
      throw std::runtime_error("VELMORAN_EXE is not set");
    }
    // Wine hands over the Unix path; the full Windows form goes on command lines.
    char full[MAX_PATH] = {};
    if (::GetFullPathNameA(given, MAX_PATH, full, nullptr) == 0) {
      Fail("GetFullPathNameA");
    }
    return std::string(full);
  }();
  return path;
}

bool HaveDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0';
}

bool UnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TempDir::TempDir(const std::string& under) {
  static unsigned counter = 0;
  char base[MAX_PATH] = {};
  if (under.empty()) {
    ::GetTempPathA(MAX_PATH, base);
  } else {
    ::lstrcpynA(base, (under + "\\").c_str(), MAX_PATH);
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = std::string(base) + "velmoran test " +
                                  std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(++counter);
    if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
  Fail("CreateDirectoryA");
}

TempDir::~TempDir() {
  for (void* handle : held_) {
    ::CloseHandle(handle);
  }
  RemoveTree(path_);
}

void TempDir::Write(const std::string& name, const Bytes& bytes) const {
  HANDLE file = ::CreateFileA((*this / name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    Fail("creating " + name);
  }
  DWORD written = 0;
  const bool ok =
      bytes.empty() ||
      (::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
       written == bytes.size());
  ::CloseHandle(file);
  if (!ok) {
    Fail("writing " + name);
  }
}

Bytes TempDir::Read(const std::string& name) const {
  HANDLE file = ::CreateFileA((*this / name).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return "<missing>";
  }
  Bytes bytes;
  char chunk[65536];
  DWORD moved = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &moved, nullptr) && moved > 0) {
    bytes.append(chunk, moved);
  }
  ::CloseHandle(file);
  return bytes;
}

bool TempDir::Exists(const std::string& name) const {
  return ::GetFileAttributesA((*this / name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void TempDir::MakeReadOnly(const std::string& name) const {
  if (!::SetFileAttributesA((*this / name).c_str(), FILE_ATTRIBUTE_READONLY)) {
    Fail("SetFileAttributesA");
  }
}

bool TempDir::IsReadOnly(const std::string& name) const {
  const DWORD attributes = ::GetFileAttributesA((*this / name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void TempDir::MakeFolder(const std::string& name) const {
  if (!::CreateDirectoryA((*this / name).c_str(), nullptr)) {
    Fail("CreateDirectoryA");
  }
}

std::vector<std::string> TempDir::Names(const std::string& subfolder) const {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found{};
  const std::string folder = subfolder.empty() ? path_ : *this / subfolder;
  HANDLE search = ::FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Expand(const std::string& arguments, const TempDir& dir) {
  std::string quotedStretch;
  for (const char c : dir.Path()) {
    quotedStretch += c == ' ' ? std::string("\" \"") : std::string(1, c);
  }
  std::string out;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments.compare(i, 3, "{d}") == 0) {
      out += dir.Path();
      i += 2;
    } else if (arguments.compare(i, 3, "{m}") == 0) {
      out += quotedStretch;
      i += 2;
    } else {
      out += arguments[i];
    }
  }
  return out;
}

boxreader::Run RunToolLine(const std::string& commandLine, const TempDir& dir) {
  return boxreader::RunProgram(ToolPath(), commandLine, dir.Path());
}

boxreader::Run RunTool(const std::string& arguments, const TempDir& dir) {
  std::string line = "\"" + ToolPath() + "\"";
  if (!arguments.empty()) {
    line += " " + arguments;
  }
  return RunToolLine(line, dir);
}

bool IsSuccessReport(const std::string& text) {
  const std::string head = "Encryption/decryption successful.\r\rTime used for file input/output: ";
  const std::string middle = " milliseconds\rTime used for encryption/decryption: ";
  const std::string tail = " milliseconds";
  std::size_t at = 0;
  const auto literal = [&](const std::string& piece) {
    if (text.compare(at, piece.size(), piece) != 0) {
      return false;
    }
    at += piece.size();
    return true;
  };
  const auto number = [&] {
    const std::size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      ++at;
    }
    return at > start && at - start <= 10 && (text[start] != '0' || at - start == 1);
  };
  return literal(head) && number() && literal(middle) && number() && literal(tail) &&
         at == text.size();
}

}  // namespace wintest
