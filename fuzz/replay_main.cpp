// Runs a fuzz target's LLVMFuzzerTestOneInput over every file of the folders (or files)
// named on the command line, without libFuzzer, so any compiler builds it and every
// build with tests replays the corpus. A target that finds a broken invariant aborts,
// which fails the run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool ReadFile(const fs::path& path, std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  bytes.clear();
  std::uint8_t chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return !failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS-FOLDER-OR-FILE...\n", argv[0]);
    return 2;
  }
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path named = argv[i];
    std::error_code error;
    if (fs::is_directory(named, error)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(named, error)) {
        if (entry.is_regular_file(error)) {
          inputs.push_back(entry.path());
        }
      }
    } else if (fs::is_regular_file(named, error)) {
      inputs.push_back(named);
    }
    if (error) {
      std::fprintf(stderr, "cannot read %s: %s\n", argv[i], error.message().c_str());
      return 2;
    }
  }
  // A corpus that went missing must not pass as an empty one.
  if (inputs.empty()) {
    std::fprintf(stderr, "no input files\n");
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());  // the same order on every run
  std::vector<std::uint8_t> bytes;
  for (const fs::path& input : inputs) {
    if (!ReadFile(input, bytes)) {
      std::fprintf(stderr, "cannot read %s\n", input.string().c_str());
      return 2;
    }
    std::fprintf(stderr, "%s (%zu bytes)\n", input.string().c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
