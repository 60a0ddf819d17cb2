#include "instance/host_callbacks.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "discovery/phone_list.h"

namespace kavex {
namespace {

std::vector<std::pair<int, int>> g_sizes;
std::vector<std::string> g_listed;
std::string g_passcodeName;
int g_passcodeInstance = -1;

void KAVEX_STDCALL OnVideoSize(int, int width, int height) { g_sizes.emplace_back(width, height); }

void KAVEX_STDCALL OnPhoneList(int instance, int entry, const char* key, const char* name, int selected) {
  g_listed.push_back(std::to_string(instance) + "/" + std::to_string(entry) + "/" + key + "/" + name + "/" +
                     std::to_string(selected));
}

uint64_t KAVEX_STDCALL OnPasscodeKey(int instance, const uint8_t*, const char* name) {
  g_passcodeInstance = instance;
  g_passcodeName = name;
  return 0x1234;
}

class HostCallbacksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sizes.clear();
    g_listed.clear();
    g_passcodeName.clear();
    PhoneList::Instance().Clear();
  }
  void TearDown() override { PhoneList::Instance().Clear(); }
  HostCallbacks callbacks{2};
};

TEST_F(HostCallbacksTest, VideoSizeReachesTheHostOnlyWhenItChanges) {
  callbacks.ReportVideoSize(1280, 720);  // not registered: not remembered either
  callbacks.Register(nullptr, &OnVideoSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  callbacks.ReportVideoSize(1280, 720);
  callbacks.ReportVideoSize(1280, 720);
  callbacks.ReportVideoSize(720, 1280);
  const std::vector<std::pair<int, int>> expected = {{1280, 720}, {720, 1280}};
  EXPECT_EQ(g_sizes, expected);

  callbacks.Clear();  // forgets the pair as well as the pointer
  callbacks.Register(nullptr, &OnVideoSize, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  callbacks.ReportVideoSize(720, 1280);
  EXPECT_EQ(g_sizes.size(), 3u);
}

TEST_F(HostCallbacksTest, UnregisteredCallbacksAreSkipped) {
  callbacks.ForwardMessage19(1, 2, 3, 4);
  callbacks.ForwardMessage20(1, 2, 3, 4);
  callbacks.ForwardMessage21(1, 2, 3, 4);
  callbacks.ForwardMessage22(1, 2, 3, 4);
  callbacks.ForwardMessage25(1, 2);
  callbacks.ForwardPhoneControl(1, 2);
  callbacks.ForwardTextList("text", 1);
  callbacks.PublishPhoneList({{"1", "Phone", 0}});
  EXPECT_EQ(callbacks.GetPasscodeKey(PhoneId{}, "Phone"), 0u);
  EXPECT_EQ(callbacks.ChooseFormat("Automatic/640x360", 4), 4) << "no chooser: the choice stays";
  EXPECT_TRUE(g_listed.empty());
}

TEST_F(HostCallbacksTest, PhoneListEntriesAreNumberedFromZeroOnEveryPublish) {
  callbacks.Register(nullptr, nullptr, &OnPhoneList, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  callbacks.PublishPhoneList({{"7", "Pixel [WiFi]", 1}, {"-1", "Other", 0}});
  callbacks.PublishPhoneList({{"-1", "Other", 0}});
  const std::vector<std::string> expected = {"2/0/7/Pixel [WiFi]/1", "2/1/-1/Other/0", "2/0/-1/Other/0"};
  EXPECT_EQ(g_listed, expected);
}

TEST_F(HostCallbacksTest, PasscodeKeyCallbackGetsThePhoneNameOrPhoneForUnknownPhones) {
  callbacks.RegisterPasscodeKey(&OnPasscodeKey);
  PhoneId known;
  known.bytes[0] = 9;
  auto record = std::make_unique<PhoneRecord>();
  record->id = known;
  record->name = "Anna's phone";
  PhoneList::Instance().Append(std::move(record));

  EXPECT_EQ(callbacks.GetPasscodeKey(known, PhoneList::Instance().GetPhoneName(known)), 0x1234u);
  EXPECT_EQ(g_passcodeName, "Anna's phone");
  EXPECT_EQ(g_passcodeInstance, 2);

  PhoneId gone;
  gone.bytes[0] = 10;
  callbacks.GetPasscodeKey(gone, PhoneList::Instance().GetPhoneName(gone));
  EXPECT_EQ(g_passcodeName, "Phone");
}

}  // namespace
}  // namespace kavex
