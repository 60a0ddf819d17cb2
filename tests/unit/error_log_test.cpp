#include "common/error_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/engine_thread.h"
#include "platform/thread_name.h"
#include "settings_fixture.h"

namespace kavex {
namespace {

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ErrorLog::RecordError("setup", 0);  // makes sure the key exists
    settings_fixture::DeleteErrorValue();
  }
  void TearDown() override { settings_fixture::DeleteErrorValue(); }
};

TEST_F(ErrorLogTest, FirstEntryIsKeptUntilTakenOnce) {
  ErrorLog::RecordError("so", 96);
  ErrorLog::RecordError("so", 101);

  ErrorLog::StoredEntry first = ErrorLog::TakeStoredEntry();
  EXPECT_TRUE(first.deliver);
  EXPECT_EQ(first.text, "we:so:96");

  ErrorLog::StoredEntry second = ErrorLog::TakeStoredEntry();
  EXPECT_FALSE(second.deliver);
  EXPECT_EQ(second.text, "");

  // The store is free again after the take.
  ErrorLog::RecordError("so.7.8", 229);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:so.7.8:229");
}

TEST_F(ErrorLogTest, ValueOfAnotherTypeBlocksEntriesAndIsDeliveredEmpty) {
  settings_fixture::StoreNumericErrorValue();
  ErrorLog::RecordError("so", 96);

  ErrorLog::StoredEntry taken = ErrorLog::TakeStoredEntry();
  EXPECT_TRUE(taken.deliver);
  EXPECT_EQ(taken.text, "");

  ErrorLog::RecordError("qc", 76);
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:qc:76");
}

TEST_F(ErrorLogTest, OverlongEntryIsCutToTheStoreSize) {
  ErrorLog::RecordError(std::string(400, 't').c_str(), 1);
  ErrorLog::StoredEntry taken = ErrorLog::TakeStoredEntry();
  EXPECT_TRUE(taken.deliver);
  EXPECT_EQ(taken.text.size(), 255u);
  EXPECT_EQ(taken.text.substr(0, 4), "we:t");
}

// Threads of one process record at the same moment (a receive thread, the decoder, the feeder):
// whatever is stored is one of their entries whole, never a mix of two.
TEST_F(ErrorLogTest, EntriesRecordedAtOnceFromManyThreadsStayWhole) {
  auto tag = [](int t) { return "sd.L" + std::string(60 + 20 * t, static_cast<char>('a' + t)); };
  std::set<std::string> recorded;
  for (int t = 0; t < 4; ++t) recorded.insert("we:" + tag(t) + ":" + std::to_string(100 + t));
  for (int round = 0; round < 150; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&tag, t] { ErrorLog::RecordError(tag(t).c_str(), 100 + t); });
    for (std::thread& thread : threads) thread.join();
    const ErrorLog::StoredEntry taken = ErrorLog::TakeStoredEntry();
    ASSERT_TRUE(taken.deliver) << "round " << round;
    ASSERT_EQ(recorded.count(taken.text), 1u) << "round " << round << ": " << taken.text;
  }
}

// Every engine thread starts through one function: marked for its whole life (teardown asks), named,
// and what escapes its body is recorded under its code instead of ending the process.
TEST_F(ErrorLogTest, AnEngineThreadIsMarkedNamedAndRecordsWhatEscapesIt) {
  bool marked = false;
  std::string name;
  platform::SystemThread thread = StartEngineThread("kavex-test", ErrorCode{"ei", 99}, [&] {
    marked = OnEngineThread();
    name = platform::CurrentThreadName();
    throw std::runtime_error("out of something");
  });
  JoinEngineThread(thread);
  EXPECT_TRUE(marked);
  EXPECT_EQ(name, "kavex-test");
  EXPECT_FALSE(OnEngineThread()) << "the caller is no engine thread";
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "we:ei:99");

  // Joined from itself (a teardown from its own callback), it is let go instead of joined.
  platform::SystemThread self;
  std::atomic<bool> started{false}, done{false};
  self = StartEngineThread("kavex-test", ErrorCode{"ei", 98}, [&] {
    while (!started.load()) std::this_thread::yield();
    JoinEngineThread(self);
    done.store(true);
  });
  started.store(true);
  for (int i = 0; i < 1000 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(done.load()) << "joining itself never returned";
  EXPECT_FALSE(self.joinable());
  EXPECT_EQ(ErrorLog::TakeStoredEntry().text, "") << "joining itself threw";
}

}  // namespace
}  // namespace kavex
