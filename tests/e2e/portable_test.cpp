// Cases that hold for every build of the tool: the command line as it arrives
// through argv (or, for the Windows build, as the raw line formed from it), the
// statuses and texts, the ciphers with every key source, in place and into a copy.
// Every case that reaches files runs again from the folder above the files'.
#include <string>
#include <vector>

#include "e2e_support.h"

namespace e2e {
namespace {

const Bytes kData = SomeBytes(70001, 1);  // not a multiple of any key length used
const Bytes kOld = "older and longer destination content";

Bytes Ca(const Bytes& data, std::string_view key = kDefaultKey) { return ComplementAdd(data, key); }

std::vector<Case> CommandLineCases() {
  // argv cannot carry 0x00, a quotation mark would be removed, a quoted tab turns to a space.
  std::string longKey = SomeBytes(6000, 2);
  for (char& c : longKey) {
    c = (c == '\0' || c == '"' || c == '\t') ? 'z' : c;
  }
  std::string longPath;
  std::vector<std::string> longDirs;
  for (int i = 0; i < 14; ++i) {
    longPath += std::string(200, static_cast<char>('a' + i)) + "/";
    longDirs.push_back(longPath);
  }
  longPath += "file";
  return {
      // Statuses of the command line, each with its exact text and no file touched.
      Case("usage_without_arguments", 1, {}),
      Case("usage_for_an_empty_first_argument", 1, {""}).File("src", kPlain),
      Case("usage_for_empty_first_then_source", 1, {"", "src"}).File("src", kPlain),
      Case("silent_alone_is_source_expected", 11, {"-s"}).Silent(),
      Case("switches_only_is_source_expected", 11, {"-m", "-m"}),
      Case("copy_alone_wants_destination", 16, {"-c"}),
      Case("key_string_alone_wants_key", 17, {"-k"}),
      Case("key_file_alone_wants_key", 17, {"-f"}),
      Case("unknown_flag", 9, {"-x", "src"}).File("src", kPlain),
      Case("uppercase_flag_is_unknown", 9, {"-K", "src", "key"}).File("src", kPlain),
      Case("silent_unknown_flag", 9, {"-s", "-q", "src"}).File("src", kPlain).Silent(),
      Case("quoted_spaces_as_switch_are_unknown", 9, {"  ", "src"}).File("src", kPlain),
      Case("copy_then_unknown_flag_wants_destination", 16, {"-c", "-x"}),
      Case("misplaced_key_file_switch_wants_key", 17, {"-k", "src", "-f"}).File("src", kPlain),
      Case("switch_after_source", 8, {"src", "-m"}).File("src", kPlain),
      Case("switch_after_destination", 8, {"-c", "src", "dst", "-m"}).File("src", kPlain),
      Case("two_character_key_is_a_switch", 17, {"-k", "src", "ab"}).File("src", kPlain),
      Case("copy_takes_second_as_destination", 17, {"-c", "-k", "src", "dst"}).File("src", kPlain),
      Case("three_positionals_in_place", 12, {"src", "a", "b"}).File("src", kPlain),
      Case("four_positionals_in_copy", 12, {"-c", "src", "d", "key", "more"}).File("src", kPlain),
      Case("empty_key_string_wants_key", 17, {"-k", "src", ""}).File("src", kPlain),
      Case("empty_second_argument", 13, {"src", ""}).File("src", kPlain),
      Case("empty_destination_wants_destination", 16, {"-c", "src", ""}).File("src", kPlain),
      Case("odd_quote_in_source", 10, {"sr\"c"}).File("src", kPlain),
      Case("odd_quote_in_key", 10, {"-k", "src", "a\"b"}).File("src", kPlain),
      // Unpaired quotation marks are status 10 whatever else the line says; a -s among
      // the switches before the first quotation mark still silences it.
      Case("odd_quotes_after_silent_are_silent", 10, {"-s", "src", "\"\"\""})
          .File("src", kPlain)
          .Silent(),
      Case("odd_quote_in_key_after_switches_is_silent", 10, {"-k", "-s", "src", "a\"b"})
          .File("src", kPlain)
          .Silent(),
      Case("odd_quote_silent_with_quoted_program_path", 10, {"-s", "sr\"c"})
          .File("src", kPlain)
          .Argv0("/no such dir/velmoran")
          .Silent(),
      Case("odd_quote_before_silent_is_reported", 10, {"-k", "a\"b", "-s"}).File("src", kPlain),
      Case("odd_quote_silent_after_source_is_reported", 10, {"src", "-s", "\""})
          .File("src", kPlain),
      Case("odd_quote_in_program_path", 10, {"src"}).File("src", kPlain).Argv0("velm\"oran"),
      Case("odd_quote_in_program_path_outweighs_silent", 10, {"-s", "src"})
          .File("src", kPlain)
          .Argv0("velm\"oran"),

      // What reaches the scanner through argv, and comes out as one argument.
      Case("source_with_spaces", 0, {"my source file"})
          .File("my source file", kPlain)
          .Becomes("my source file", Ca(kPlain)),
      Case("program_path_with_spaces", 0, {"src"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain))
          .Argv0("/no such dir/velmoran"),
      Case("key_with_spaces", 0, {"-k", "src", " key  with spaces "})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain, " key  with spaces ")),
      Case("quoted_tab_comes_out_as_space", 0, {"a\tb"})
          .File("a b", kPlain)
          .File("a\tb", kOld)
          .Becomes("a b", Ca(kPlain)),
      Case("quotation_marks_are_removed", 0, {"-k", "\"sr\"c", "k\"\"e\"y\""})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain, "key")),
      Case("quotes_inside_an_argument_with_spaces", 0, {"a \"b\" c"})
          .File("a b c", kPlain)
          .Becomes("a b c", Ca(kPlain)),
      Case("quoted_switch_is_a_switch", 0, {"\"-k\"", "src", "secret"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain, "secret")),
      Case("any_first_character_makes_a_switch", 0, {"/k", "xm", "src", "secret"})
          .File("src", kPlain)
          .Becomes("src", XOrData(kPlain, "secret")),
      Case("byte_FE_in_path_is_kept", 0,
           {"f\xFE"
            "e"})
          .File("f\xFE"
                "e",
                kPlain)
          .Becomes("f\xFE"
                   "e",
                   Ca(kPlain))
          .NativeOnly("a file name that is not UTF-8 has no Windows spelling under Wine"),
      Case("byte_FE_in_key_is_kept", 0, {"-k", "src", "\xFE\xFE key \xFE"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain, "\xFE\xFE key \xFE")),
      Case("long_key_string", 0, {"-k", "-m", "src", longKey})
          .File("src", kData)
          .Becomes("src", XOrData(kData, longKey)),
      Case("long_path", 0, {longPath})
          .Given([longDirs](ToolCase& s) {
            for (const auto& dir : longDirs) {
              s.MakeDirectory(dir);
            }
          })
          .File(longPath, kPlain)
          .Becomes(longPath, Ca(kPlain))
          .NativeOnly("a path of 2,800 characters passes every Windows path limit"),
  };
}

std::vector<Case> JobCases() {
  const Bytes keyFile("\x00\x01\xFF\x00 key\r\n\x00\x80", 12);
  return {
      // Failures: the first failing step decides, and no file is touched.
      Case("missing_source", 2, {"nothing"}),
      Case("missing_source_in_copy", 2, {"-c", "nothing", "dst"}),
      Case("directory_as_source", 2, {"dir"}).Given([](ToolCase& s) { s.MakeDirectory("dir"); }),
      Case("empty_source", 14, {"src"}).File("src", ""),
      Case("empty_source_before_missing_key_file", 14, {"-f", "src", "nokey"}).File("src", ""),
      Case("missing_key_file", 18, {"-f", "src", "nokey"}).File("src", kPlain),
      Case("directory_as_key_file", 18, {"-f", "src", "dir"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeDirectory("dir"); }),
      Case("empty_key_file", 14, {"-c", "-f", "src", "dst", "key"})
          .File("src", kPlain)
          .File("key", ""),
      Case("destination_in_missing_directory", 3, {"-c", "src", "nodir/dst"}).File("src", kPlain),
      Case("directory_as_destination", 3, {"-c", "src", "dir"})
          .File("src", kPlain)
          .Given([](ToolCase& s) { s.MakeDirectory("dir"); }),
      Case("silent_failure", 2, {"-s", "-c", "nothing", "dst"}).Silent(),

      // Key choice.
      Case("key_argument_without_switch_is_ignored", 0, {"src", "unused"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain)),
      Case("key_file_wins_over_key_string", 0, {"-k", "-f", "src", "key"})
          .File("src", kPlain)
          .File("key", keyFile)
          .Becomes("src", Ca(kPlain, keyFile)),
      Case("key_file_wins_in_either_order", 0, {"-f", "-k", "-m", "src", "key"})
          .File("src", kPlain)
          .File("key", keyFile)
          .Becomes("src", XOrData(kPlain, keyFile)),
      Case("one_byte_key", 0, {"-f", "src", "key"})
          .File("src", kData)
          .File("key", "\x7F")
          .Becomes("src", Ca(kData, "\x7F")),
      Case("zero_byte_key_under_xor_changes_nothing", 0, {"-m", "-f", "src", "key"})
          .File("src", kData)
          .File("key", Bytes(1, '\0')),
      Case("key_longer_than_data", 0, {"-f", "src", "key"})
          .File("src", "abc")
          .File("key", SomeBytes(300, 3))
          .Becomes("src", Ca("abc", SomeBytes(300, 3))),
      Case("one_byte_file", 0, {"-m", "-k", "src", "secret"})
          .File("src", "s")
          .Becomes("src", Bytes(1, '\0')),
      Case("silent_success", 0, {"-s", "src"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain))
          .Silent(),

      // Copy mode: the source stays, the destination is made or replaced whole.
      Case("copy_replaces_longer_destination", 0, {"-c", "src", "dst"})
          .File("src", kPlain)
          .File("dst", kOld + kOld, 0600)
          .Becomes("dst", Ca(kPlain)),
      Case("copy_onto_the_source_path_is_in_place", 0, {"-c", "-m", "src", "src"})
          .File("src", kData)
          .Becomes("src", XOrData(kData, kDefaultKey)),
      Case("copy_onto_the_source_by_another_name", 0, {"-c", "src", "./src"})
          .File("src", kPlain)
          .Becomes("src", Ca(kPlain)),

      // A file with a second name is rewritten in place, kept by a recovery record that
      // goes when the file is complete; where the folder takes no new entry, no record
      // can be made beside it, and the file is rewritten all the same.
      Case("copy_onto_the_source_by_its_other_name", 0, {"-c", "src", "alias"})
          .File("src", kData)
          .Given([](ToolCase& s) { s.HardLink("src", "alias"); })
          .Becomes("src", Ca(kData))
          .Becomes("alias", Ca(kData)),
      Case("hard_linked_in_a_folder_that_takes_no_new_entry", 0, {"-m", "locked/src"})
          .Given([](ToolCase& s) {
            s.MakeDirectory("locked");
            s.Write("locked/src", kData);
            s.HardLink("locked/src", "locked/alias");
            s.MakeImmutable("locked");
          })
          .Becomes("locked/src", XOrData(kData, kDefaultKey))
          .Becomes("locked/alias", XOrData(kData, kDefaultKey)),
  };
}

// Both ciphers x three key sources x in place and copy, each once and as a round trip.
std::vector<Case> CipherCases() {
  const std::string keyString = "Key string \xFE\x7F\x01~";
  const Bytes keyFile("\x00\x01\xFF\x00 key\r\n\x00\x80z", 13);
  struct Source {
    const char* name;
    std::vector<std::string> switches;
    std::string key;
    bool file;
  };
  const Source sources[] = {{"default_key", {}, kDefaultKey, false},
                            {"key_string", {"-k"}, keyString, false},
                            {"key_file", {"-f"}, keyFile, true}};
  std::vector<Case> cases;
  for (const bool xorData : {false, true}) {
    const auto cipher = [xorData](const Bytes& data, const std::string& key) {
      return xorData ? XOrData(data, key) : ComplementAdd(data, key);
    };
    for (const Source& source : sources) {
      for (const bool copy : {false, true}) {
        std::vector<std::string> args = source.switches;
        if (xorData) {
          args.emplace_back("-m");
        }
        if (copy) {
          args.emplace_back("-c");
        }
        const auto command = [&](const char* from, const char* to) {
          std::vector<std::string> line = args;
          line.emplace_back(from);
          if (copy) {
            line.emplace_back(to);
          }
          if (!source.switches.empty()) {
            line.emplace_back(source.file ? "key" : source.key);
          }
          return line;
        };
        const std::string name = std::string(xorData ? "xor_data_" : "complement_add_") +
                                 source.name + (copy ? "_copy" : "_in_place");
        const Bytes out = cipher(kData, source.key);
        Case once(name, 0, command("src", "dst"));
        Case twice(name + "_round_trip", 0, command("src", "dst"));
        for (Case* c : {&once, &twice}) {
          c->File("src", kData);
          if (source.file) {
            c->File("key", keyFile, 0400);
          }
        }
        if (copy) {
          once.Becomes("dst", out);
          twice.Then(command("dst", "back")).Becomes("dst", out).Becomes("back", kData);
        } else {
          once.Becomes("src", out);
          twice.Then(command("src", "dst"));
        }
        cases.push_back(once);
        cases.push_back(twice);
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(CommandLine, ToolCase,
                         ::testing::ValuesIn(FromAnotherFolderToo(CommandLineCases())), CaseName());
INSTANTIATE_TEST_SUITE_P(Job, ToolCase, ::testing::ValuesIn(FromAnotherFolderToo(JobCases())),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Cipher, ToolCase, ::testing::ValuesIn(FromAnotherFolderToo(CipherCases())),
                         CaseName());

}  // namespace
}  // namespace e2e
