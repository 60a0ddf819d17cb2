// What every tool's users rely on: a misspelt option, an option at the end without its value and
// a number out of range are refused, never taken as something else.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace toolcommon {
namespace {

struct Tool {
  bool help = false;
  bool quiet = false;
  int count = 1;
  std::string name;
  CommandLine line;

  Tool() {
    line.Help(&help);
    line.Flag("--quiet", [this] { quiet = true; });
    line.Value("--count", [this](const std::string& value) {
      return ReadInteger(value, 1, 4, &count) ? "" : "--count takes 1-4";
    });
    line.Value("--name", [this](const std::string& value) {
      name = value;
      return "";
    });
  }
};

TEST(CommandLine, ReadsFlagsAndValuesInAnyOrder) {
  Tool tool;
  EXPECT_EQ(tool.line.Parse({"--name", "--quiet", "--count", "4"}), "");
  EXPECT_EQ(tool.name, "--quiet") << "a value is the next argument, whatever it looks like";
  EXPECT_EQ(tool.count, 4);
  EXPECT_FALSE(tool.quiet);
}

TEST(CommandLine, RefusesUnknownOptionsMissingValuesAndBadNumbers) {
  Tool tool;
  EXPECT_EQ(tool.line.Parse({"--quiet", "--loud"}), "unknown option --loud");
  EXPECT_EQ(tool.line.Parse({"--count"}), "--count needs a value");
  for (const char* bad : {"0", "5", "2x", "", "0x2", "99999999999999999999"})
    EXPECT_EQ(tool.line.Parse({"--count", bad}), "--count takes 1-4") << bad;
  EXPECT_EQ(tool.count, 1) << "a refused value leaves the option as it was";
  double number = 3;
  for (const char* bad : {"", "nan", "inf", "1e400", "10.5", "-0.1", "2s"})
    EXPECT_FALSE(ReadNumber(bad, 0, 10, &number)) << bad;
  EXPECT_EQ(number, 3);
}

TEST(CommandLine, HelpEndsTheReading) {
  Tool tool;
  EXPECT_EQ(tool.line.Parse({"--loud", "--help"}), "unknown option --loud");
  EXPECT_EQ(tool.line.Parse({"--quiet", "-h", "--loud"}), "");
  EXPECT_TRUE(tool.help);
}

}  // namespace
}  // namespace toolcommon
