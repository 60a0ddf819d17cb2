#include "protocol/error_log.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace kavex
