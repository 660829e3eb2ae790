// The Linux layer's command line: joined from argv as the scanner expects it, and
// wiped in place, since it may hold the key string.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/arguments.h"
#include "platform/platform.h"

namespace {

struct JoinCase {
  std::vector<const char*> argv;
  std::string line;
};

class CommandLineTest : public testing::TestWithParam<JoinCase> {};

TEST_P(CommandLineTest, JoinsArgvAndWipesEveryByteInPlace) {
  const JoinCase& c = GetParam();
  // argv as the process gets it: strings it may write to.
  std::vector<std::string> strings(c.argv.begin(), c.argv.end());
  std::vector<char*> argv;
  for (std::string& element : strings) {
    argv.push_back(element.data());
  }
  platform::posix::SetArguments(static_cast<int>(argv.size()), argv.data());
  const char* line = platform::GetCommandLine();
  ASSERT_EQ(std::string(line), c.line);
  platform::WipeCommandLine();
  // The same bytes, still the layer's own, and argv's: none of them survives.
  EXPECT_EQ(std::string(line, c.line.size()), std::string(c.line.size(), '\0'));
  for (const std::string& element : strings) {
    EXPECT_EQ(element, std::string(element.size(), '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Argv, CommandLineTest,
    testing::Values(JoinCase{{"velmoran"}, "velmoran"},
                    JoinCase{{"velmoran", "-k", "src", "secret"}, "velmoran -k src secret"},
                    JoinCase{{"/my tools/velmoran", "-k", "src", "pass phrase\tkey", ""},
                             "\"/my tools/velmoran\" -k src \"pass phrase\tkey\" \"\""},
                    JoinCase{
                        {"velmoran", "-k", "src", "a-much-longer-key-than-a-short-string-holds"},
                        "velmoran -k src a-much-longer-key-than-a-short-string-holds"}));

}  // namespace
