#include "discovery/phone_list.h"

#include <gtest/gtest.h>

namespace kavex {
namespace {

PhoneId Id(uint8_t first) {
  PhoneId id;
  id.bytes = {first, 0x11, 0x22, 0x33, 0x44};
  return id;
}

// Made-up identifiers, as a host on the LAN could announce them by the thousand.
PhoneId FloodId(uint32_t n) {
  PhoneId id;
  id.bytes = {0xf1, 0x00, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  return id;
}

const SocketAddress kPhoneV4 = SocketAddress::Ipv4(198, 18, 0, 2, 0);

class PhoneListTest : public ::testing::Test {
 protected:
  void SetUp() override { list.Clear(); }
  void TearDown() override { list.Clear(); }
  PhoneRecord Snapshot(const PhoneId& id) {
    std::lock_guard<kavex::platform::Mutex> lock(list.lock());
    PhoneRecord* record = list.FindLocked(id);
    return record != nullptr ? *record : PhoneRecord{};
  }
  SessionInfo NetworkSession(const PhoneId& id) {
    return SessionInfo{id, false, SocketAddress::Ipv4(198, 18, 0, 2, 4699)};
  }
  PhoneList& list = PhoneList::Instance();
};

TEST_F(PhoneListTest, OnePhoneReachedThreeWaysIsOneRecord) {
  list.ReportNetworkPhone(Id(1), 2, "Pixel", kPhoneV4, 4699);
  list.ReportAdbPhone(Id(1), 9, "", 27183);
  list.ReportUsbmuxPhone(Id(1), 9, 77, true, "");
  ASSERT_EQ(list.Size(), 1u);
  const PhoneRecord record = Snapshot(Id(1));
  EXPECT_EQ(record.kind, 2u) << "an existing record keeps its kind";
  EXPECT_EQ(record.name, "Pixel") << "an empty reported name never clears one";
  EXPECT_EQ(record.ipv4Address, SocketAddress::Ipv4(198, 18, 0, 2, 4699));
  EXPECT_EQ(record.adbAddress, SocketAddress::Ipv4(127, 0, 0, 1, 27183));
  EXPECT_EQ(record.iosUsbHandle, 77u);
  EXPECT_TRUE(record.usbAvailable);
  EXPECT_EQ(record.usbScore, 5) << "a known phone reported by the multiplexer gets its head start";
}

TEST_F(PhoneListTest, UsbScoresFromEachPath) {
  list.ReportUsbmuxPhone(Id(1), 2, 5, false, "ios");
  EXPECT_EQ(Snapshot(Id(1)).usbScore, 0) << "first seen through the multiplexer: no head start";
  EXPECT_EQ(Snapshot(Id(1)).iosNetworkHandle, 5u);
  EXPECT_FALSE(Snapshot(Id(1)).usbAvailable);

  list.ReportAdbPhone(Id(2), 2, "android", 1000);
  list.SetPhoneState(SessionInfo{Id(2), false, SocketAddress::Ipv4(127, 0, 0, 1, 1000)}, PhoneState::kStreaming);
  EXPECT_EQ(Snapshot(Id(2)).usbScore, 2) << "a kind-2 phone on a cable counts as USB";
  list.ReportAdbPhone(Id(2), 2, "", 1000);
  EXPECT_EQ(Snapshot(Id(2)).usbScore, 1) << "every bridge report sets it back to 1";
}

TEST_F(PhoneListTest, LongNamesAreCutAndAnnouncementsRenameBothRecords) {
  list.ReportNetworkPhone(Id(1), 2, std::string(300, 'n'), kPhoneV4, 4699);
  EXPECT_EQ(Snapshot(Id(1)).name.size(), 255u);
  list.ReportNetworkPhone(Id(2), 2, "other", kPhoneV4, 4699);
  list.UpdateFromAnnouncement(Id(1), Id(2), 7, "");
  EXPECT_EQ(Snapshot(Id(1)).name, "") << "an announcement's name replaces even with an empty one";
  EXPECT_EQ(Snapshot(Id(2)).name, "");
  EXPECT_EQ(Snapshot(Id(1)).kind, 7u);
  EXPECT_EQ(Snapshot(Id(2)).kind, 7u);
}

TEST_F(PhoneListTest, StreamingRaisesScoresFromZeroAfterNegative) {
  list.ReportNetworkPhone(Id(1), 2, "p", kPhoneV4, 4699);
  {
    std::lock_guard<kavex::platform::Mutex> lock(list.lock());
    list.FindLocked(Id(1))->networkScore = -3;
  }
  PhoneList::StateChange change = list.SetPhoneState(NetworkSession(Id(1)), PhoneState::kStreaming);
  EXPECT_TRUE(change.changed);
  EXPECT_EQ(Snapshot(Id(1)).networkScore, 0);
  list.SetPhoneState(NetworkSession(Id(1)), PhoneState::kIdle);
  list.SetPhoneState(NetworkSession(Id(1)), PhoneState::kStreaming);
  EXPECT_EQ(Snapshot(Id(1)).networkScore, 1);
  EXPECT_FALSE(list.SetPhoneState(NetworkSession(Id(1)), PhoneState::kStreaming).changed);
}

TEST_F(PhoneListTest, FailuresDropTheAddressThatFailedThenThePhone) {
  uint8_t v6[16] = {0xfe, 0x80};
  v6[15] = 2;
  const SocketAddress peer6 = SocketAddress::Ipv6(v6, 0, 3);
  list.ReportNetworkPhone(Id(1), 2, "p", kPhoneV4, 4699);
  list.ReportNetworkPhone(Id(1), 2, "p", peer6, 4699);

  list.SetPhoneState(NetworkSession(Id(1)), PhoneState::kFailed);
  PhoneRecord record = Snapshot(Id(1));
  EXPECT_TRUE(record.ipv4Address.empty());
  EXPECT_FALSE(record.ipv6Address.empty()) << "the other family is kept for the next attempt";
  EXPECT_EQ(record.networkScore, -1);

  PhoneList::StateChange change =
      list.SetPhoneState(SessionInfo{Id(1), false, SocketAddress::Ipv6(v6, 4699, 3)}, PhoneState::kFailed);
  EXPECT_TRUE(change.pruned) << "no address left: the record goes";
  EXPECT_EQ(list.Size(), 0u);
}

TEST_F(PhoneListTest, RepeatedFailuresElsewhereFloorAndFinallyDropBothAddresses) {
  list.ReportNetworkPhone(Id(1), 2, "p", kPhoneV4, 4699);
  const SessionInfo elsewhere{Id(1), false, SocketAddress::Ipv4(10, 0, 0, 9, 4699)};
  for (int i = 0; i < 11; ++i) list.SetPhoneState(elsewhere, PhoneState::kFailed);
  EXPECT_EQ(Snapshot(Id(1)).networkScore, -11);
  EXPECT_EQ(list.Size(), 1u);
  list.SetPhoneState(elsewhere, PhoneState::kFailed);  // the old score was already below -10
  EXPECT_EQ(list.Size(), 0u);
}

TEST_F(PhoneListTest, BridgeFailureDropsTheForwardAndUsbFailureLowersItsScore) {
  list.ReportAdbPhone(Id(1), 2, "a", 4000);
  list.ReportNetworkPhone(Id(1), 2, "a", kPhoneV4, 4699);
  EXPECT_TRUE(
      list.SetPhoneState(SessionInfo{Id(1), false, SocketAddress::Ipv4(127, 0, 0, 1, 4000)}, PhoneState::kFailed)
          .forwardDropped)
      << "the bridge watcher must hear of it";
  PhoneRecord record = Snapshot(Id(1));
  EXPECT_TRUE(record.adbAddress.empty());
  EXPECT_FALSE(record.usbAvailable);
  EXPECT_FALSE(record.ipv4Address.empty());

  // A multiplexer session has no peer address: on a record without a forward that is no bridge
  // failure, but the cable's.
  list.ReportUsbmuxPhone(Id(2), 2, 9, true, "i");
  EXPECT_FALSE(list.SetPhoneState(SessionInfo{Id(2), true, SocketAddress{}}, PhoneState::kFailed).forwardDropped);
  EXPECT_EQ(Snapshot(Id(2)).usbScore, -1);
  EXPECT_TRUE(Snapshot(Id(2)).usbAvailable);
  list.LowerUsbScore(9, true);
  EXPECT_EQ(Snapshot(Id(2)).usbScore, -2);
  EXPECT_FALSE(Snapshot(Id(2)).usbAvailable) << "a refused cable draws no stream onto it";
}

// A failed phone is hidden from the lists and, while every camera has a phone, nobody tries it
// again: being found again (on any path) must make it Idle, or it stays hidden for good.
TEST_F(PhoneListTest, AFailedPhoneFoundAgainOnAnyPathIsIdleAgain) {
  const auto failOverUsb = [&](const PhoneId& id) {
    list.SetPhoneState(SessionInfo{id, true, SocketAddress{}}, PhoneState::kFailed);
    ASSERT_EQ(list.GetPhoneState(id), PhoneState::kFailed);
  };
  list.ReportUsbmuxPhone(Id(1), 2, 9, true, "i");
  failOverUsb(Id(1));
  list.ReportUsbmuxPhone(Id(1), 2, 9, true, "i");
  EXPECT_EQ(list.GetPhoneState(Id(1)), PhoneState::kIdle) << "the multiplexer's report";

  list.ReportAdbPhone(Id(2), 2, "a", 4000);
  list.ReportUsbmuxPhone(Id(2), 2, 10, true, "a");
  failOverUsb(Id(2));
  list.ReportAdbPhone(Id(2), 2, "a", 4000);
  EXPECT_EQ(list.GetPhoneState(Id(2)), PhoneState::kIdle) << "the bridge's report";

  list.ReportNetworkPhone(Id(3), 2, "n", kPhoneV4, 4699);
  list.ReportUsbmuxPhone(Id(3), 2, 11, true, "n");
  failOverUsb(Id(3));
  list.ReportNetworkPhone(Id(3), 2, "n", kPhoneV4, 4699);
  EXPECT_EQ(list.GetPhoneState(Id(3)), PhoneState::kIdle) << "an announcement";

  // Only a failure is undone: a phone being connected or streamed keeps its state.
  list.SetPhoneState(SessionInfo{Id(3), true, SocketAddress{}}, PhoneState::kConnecting);
  list.ReportNetworkPhone(Id(3), 2, "n", kPhoneV4, 4699);
  EXPECT_EQ(list.GetPhoneState(Id(3)), PhoneState::kConnecting);
}

TEST_F(PhoneListTest, LosingThePathPrunesAndUnknownPhonesAreNamedPhone) {
  list.ReportAdbPhone(Id(1), 2, "", 4000);
  list.ReportUsbmuxPhone(Id(2), 2, 8, true, "cable");
  list.LoseAdbPhone(Id(1));
  list.LoseUsbmuxPhone(8);
  EXPECT_EQ(list.GetPhoneName(Id(1)), "") << "known, empty name";
  EXPECT_TRUE(list.Prune());
  EXPECT_EQ(list.Size(), 0u);
  EXPECT_FALSE(list.Prune());
  EXPECT_EQ(list.GetPhoneName(Id(1)), "Phone");
  EXPECT_EQ(list.GetPhoneState(Id(1)), PhoneState::kIdle);
}

TEST_F(PhoneListTest, AFloodOfFreshNetworkIdentifiersKeepsTheListBounded) {
  list.ReportAdbPhone(Id(1), 2, "cable", 4000);
  list.ReportUsbmuxPhone(Id(2), 2, 9, false, "mux");
  for (uint32_t n = 0; n < 5000; ++n) list.ReportNetworkPhone(FloodId(n), 2, "x", kPhoneV4, 4699);
  EXPECT_EQ(list.Size(), PhoneList::kMaxNetworkOnlyRecords + 2);
  EXPECT_EQ(Snapshot(Id(1)).id, Id(1)) << "records reached otherwise are not counted nor dropped";
  EXPECT_EQ(Snapshot(Id(2)).id, Id(2));
  EXPECT_EQ(Snapshot(FloodId(4999)).id, FloodId(4999));
  EXPECT_NE(Snapshot(FloodId(0)).id, FloodId(0));
}

TEST_F(PhoneListTest, TheDroppedRecordIsTheOneHeardLongestAgoThatNobodyUses) {
  const size_t cap = PhoneList::kMaxNetworkOnlyRecords;
  for (uint32_t n = 0; n < cap; ++n) list.ReportNetworkPhone(FloodId(n), 2, "x", kPhoneV4, 4699);
  list.SetPhoneState(NetworkSession(FloodId(0)), PhoneState::kConnecting);
  list.SetPhoneState(NetworkSession(FloodId(1)), PhoneState::kStreaming);
  list.SetPhoneState(NetworkSession(FloodId(2)), PhoneState::kPasscodeNeeded);
  list.ReportNetworkPhone(FloodId(4), 2, "", kPhoneV4, 4699);  // heard again: now the most recent
  std::vector<PhoneId> asked;
  const PhoneList::HeldByInstance held = [&](const PhoneId& id) {
    asked.push_back(id);
    return id == FloodId(3);
  };

  list.ReportNetworkPhone(FloodId(1000), 2, "new", kPhoneV4, 4699, held);
  EXPECT_EQ(list.Size(), cap);
  EXPECT_NE(Snapshot(FloodId(5)).id, FloodId(5)) << "the oldest free record goes";
  for (uint32_t kept : {0u, 1u, 2u, 3u, 4u, 6u, 1000u}) EXPECT_EQ(Snapshot(FloodId(kept)).id, FloodId(kept)) << kept;
  EXPECT_EQ(asked, (std::vector<PhoneId>{FloodId(3), FloodId(5)})) << "only candidates are asked";

  // A known phone reported again adds nothing and drops nothing.
  list.ReportNetworkPhone(FloodId(6), 2, "", kPhoneV4, 4699, held);
  EXPECT_EQ(list.Size(), cap);
  EXPECT_EQ(asked.size(), 2u);

  // The new record is never the one dropped, even when every other one is in use.
  list.Clear();
  for (uint32_t n = 0; n < cap; ++n) list.ReportNetworkPhone(FloodId(n), 2, "x", kPhoneV4, 4699);
  const PhoneList::HeldByInstance all = [](const PhoneId&) { return true; };
  list.ReportNetworkPhone(FloodId(2000), 2, "", kPhoneV4, 4699, all);
  EXPECT_EQ(list.Size(), cap + 1);
  EXPECT_EQ(Snapshot(FloodId(2000)).id, FloodId(2000));
  list.ReportNetworkPhone(FloodId(2001), 2, "", kPhoneV4, 4699);  // nothing held any more
  EXPECT_EQ(list.Size(), cap) << "the next report brings it back to the bound";
}

TEST_F(PhoneListTest, StateReportForAnUnknownPhoneChangesNothing) {
  const PhoneList::StateChange change = list.SetPhoneState(NetworkSession(Id(3)), PhoneState::kStreaming);
  EXPECT_FALSE(change.changed);
  EXPECT_EQ(list.Size(), 0u);
}

}  // namespace
}  // namespace kavex
