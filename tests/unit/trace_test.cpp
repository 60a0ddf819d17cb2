// The developer trace, written to a real file: which levels pass, what a line holds, how long it
// may be, and that a line nobody wants costs no formatting.
#include "common/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/thread_name.h"

namespace kavex {
namespace {

// Lines of this component alone are looked at: engine threads other tests left behind may trace too.
constexpr const char* kComponent = "tracetest";

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (std::filesystem::temp_directory_path() /
             ("kavex-trace-test-" + std::to_string(platform::CurrentThreadId()) + ".log"))
                .string();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  void TearDown() override {
    Trace::Configure("", "");
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  std::vector<std::string> Lines() const {
    std::ifstream in(path_, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (line.find(std::string("] ") + kComponent + ": ") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  std::string path_;
};

TEST_F(TraceTest, LevelFilterKeepsLinesUpToTheChosenLevelAndAppends) {
  { std::ofstream(path_) << "written before\n"; }
  Trace::Configure(path_, "warn");
  KAVEX_TRACE_ERROR(kComponent, "e");
  KAVEX_TRACE_WARN(kComponent, "w");
  KAVEX_TRACE_INFO(kComponent, "i");
  KAVEX_TRACE_DEBUG(kComponent, "d");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" ERROR "), std::string::npos);
  EXPECT_NE(lines[1].find(" WARN "), std::string::npos);
  std::ifstream in(path_);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "written before");

  // Case does not matter; a level nobody knows is the default, info.
  Trace::Configure(path_, "DEBUG");
  KAVEX_TRACE_DEBUG(kComponent, "d");
  Trace::Configure(path_, "verbose");
  KAVEX_TRACE_INFO(kComponent, "i");
  KAVEX_TRACE_DEBUG(kComponent, "d");
  lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find(" DEBUG "), std::string::npos);
  EXPECT_NE(lines[3].find(" INFO "), std::string::npos);
}

TEST_F(TraceTest, LineHoldsEngineTimeThreadComponentAndText) {
  Trace::Configure(path_, "info");
  double before = 0.0;
  double after = 0.0;
  std::thread([&] {
    platform::NameCurrentThread("kavex-recv-7");
    before = EngineClock::Now();
    KAVEX_TRACE_INFO(kComponent, "connected to %s after %d ms", "198.18.0.2:4699", 42);
    after = EngineClock::Now();
  }).join();

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(
      lines[0], match,
      std::regex(
          R"(([0-9]+\.[0-9]{3}) INFO  \[kavex-recv-7\] tracetest: connected to 198\.18\.0\.2:4699 after 42 ms)")))
      << lines[0];
  const double stamped = std::stod(match[1].str());
  EXPECT_GE(stamped, before - 0.001);
  EXPECT_LE(stamped, after + 0.001);
}

TEST_F(TraceTest, OverlongLineIsCutAndControlCharactersCannotStartALine) {
  Trace::Configure(path_, "info");
  const std::string longText(2000, 'x');
  KAVEX_TRACE_INFO(kComponent, "%s", longText.c_str());
  // A phone's name is the phone's to choose: it must not forge a line of its own.
  KAVEX_TRACE_INFO(kComponent, "heard %s", "Phone\r\n0.000 ERROR [x] api: forged");

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size() + 1, Trace::kMaxLineBytes);  // with its newline
  EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "x...");
  EXPECT_NE(lines[1].find("heard Phone??0.000 ERROR"), std::string::npos) << lines[1];
}

TEST_F(TraceTest, UnwantedLineEvaluatesNothing) {
  int evaluated = 0;
  auto sideEffect = [&evaluated] { return ++evaluated; };

  Trace::Configure("", "debug");  // no destination: off
  KAVEX_TRACE_ERROR(kComponent, "%d", sideEffect());
  Trace::Configure(path_, "info");
  KAVEX_TRACE_DEBUG(kComponent, "%d", sideEffect());
  Trace::Configure(path_, "off");
  KAVEX_TRACE_ERROR(kComponent, "%d", sideEffect());
  // A destination that cannot be opened (a folder) leaves the trace off too.
  Trace::Configure(std::filesystem::temp_directory_path().string(), "debug");
  KAVEX_TRACE_ERROR(kComponent, "%d", sideEffect());
  EXPECT_EQ(evaluated, 0);
  EXPECT_FALSE(Trace::Wants(TraceLevel::kError));

  Trace::Configure(path_, "info");
  KAVEX_TRACE_INFO(kComponent, "%d", sideEffect());
  EXPECT_EQ(evaluated, 1);
}

TEST_F(TraceTest, LinesOfManyThreadsStayWhole) {
  Trace::Configure(path_, "debug");
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i)
        KAVEX_TRACE_DEBUG(kComponent, "thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
  const std::regex whole(R"([0-9]+\.[0-9]{3} DEBUG \[[^\]]+\] tracetest: thread ([0-3]) line [0-9]+ ([a-d])\2{99})");
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line;
    EXPECT_EQ(match[2].str()[0], 'a' + std::stoi(match[1].str()));
  }
}

}  // namespace
}  // namespace kavex
