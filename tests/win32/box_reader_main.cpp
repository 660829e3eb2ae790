// The box reader as a command: runs Velmoran.exe with the raw command line held in a
// file and prints what it showed, so any suite (or a person) can check it.
//
//   velmoran_box_reader <program.exe> <command-line-file> [<directory>]
//
// Output, one item a line: "boxes <n>", then per box "caption <escaped>" and
// "text <escaped>", then "exit <code>" (or "timeout"). Escapes: \r \t \n \\ and \xNN
// for any other byte outside printable ASCII.
#include <cstdio>
#include <string>

#include "box_reader.h"

namespace {

std::string Escaped(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (byte < 0x20 || byte > 0x7E) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", byte);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: velmoran_box_reader <program.exe> <command-line-file> [<directory>]\n",
               stderr);
    return 2;
  }
  std::FILE* file = std::fopen(argv[2], "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  std::string line;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    line.append(chunk, got);
  }
  std::fclose(file);
  const boxreader::Run run = boxreader::RunProgram(argv[1], line, argc == 4 ? argv[3] : "");
  if (!run.started) {
    std::fprintf(stderr, "cannot start %s\n", argv[1]);
    return 2;
  }
  std::printf("boxes %u\n", static_cast<unsigned>(run.boxes.size()));
  for (const boxreader::Box& box : run.boxes) {
    std::printf("caption %s\ntext %s\n", Escaped(box.caption).c_str(), Escaped(box.text).c_str());
  }
  if (run.finished) {
    std::printf("exit %lu\n", run.exitCode);
  } else {
    std::printf("timeout\n");
  }
  return 0;
}
