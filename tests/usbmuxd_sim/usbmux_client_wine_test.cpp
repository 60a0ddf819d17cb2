// Our usbmux client as engine.dll exports it, under Wine: found by name in the DLL, it reaches the
// native usbmuxd-sim that run_usbmux_client_wine.sh starts at the Windows default address
// (127.0.0.1:27015), lists its devices, hears their events and opens a phone-sim's port.
#include <windows.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usbmux/usbmuxd.h"

namespace {

constexpr char kUsbUdid[] = "00008030-000A11112222333E";

struct Exports {
  HMODULE dll = nullptr;
  template <typename F>
  F Get(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
  }
};

struct Events {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int, uint32_t>> heard;
  static void Callback(const usbmuxd_event_t* event, void* user) {
    auto* self = static_cast<Events*>(user);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->heard.emplace_back(event->event, event->device.handle);
    self->changed.notify_all();
  }
  std::vector<std::pair<int, uint32_t>> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return heard.size() >= count; });
    return heard;
  }
};

TEST(UsbmuxClientWine, TheDllsClientListsHearsAndConnects) {
  Exports dll;
  dll.dll = LoadLibraryA("engine.dll");
  ASSERT_NE(dll.dll, nullptr);
  auto getList = dll.Get<decltype(&usbmuxd_get_device_list)>("usbmuxd_get_device_list");
  auto freeList = dll.Get<decltype(&usbmuxd_device_list_free)>("usbmuxd_device_list_free");
  auto subscribe = dll.Get<decltype(&usbmuxd_events_subscribe)>("usbmuxd_events_subscribe");
  auto unsubscribe = dll.Get<decltype(&usbmuxd_events_unsubscribe)>("usbmuxd_events_unsubscribe");
  auto savePair =
      dll.Get<decltype(&usbmuxd_save_pair_record_with_device_id)>("usbmuxd_save_pair_record_with_device_id");
  auto connect = dll.Get<decltype(&usbmuxd_connect)>("usbmuxd_connect");
  auto receive = dll.Get<decltype(&usbmuxd_recv_timeout)>("usbmuxd_recv_timeout");
  auto disconnect = dll.Get<decltype(&usbmuxd_disconnect)>("usbmuxd_disconnect");
  ASSERT_TRUE(getList && freeList && subscribe && unsubscribe && savePair && connect && receive && disconnect);

  usbmuxd_device_info_t* list = nullptr;
  ASSERT_EQ(getList(&list), 2);
  EXPECT_EQ(list[0].handle, 3u);
  EXPECT_STREQ(list[0].udid, kUsbUdid);
  EXPECT_EQ(list[0].conn_type, CONNECTION_TYPE_USB);
  EXPECT_EQ(list[1].conn_type, CONNECTION_TYPE_NETWORK);
  EXPECT_EQ(list[2].handle, 0u) << "the closing record";
  freeList(&list);

  Events events;
  usbmuxd_subscription_context_t context = nullptr;
  ASSERT_EQ(subscribe(&context, Events::Callback, &events), 0);
  ASSERT_EQ(events.WaitFor(2).size(), 2u);
  // Saving a device's pair record makes the service announce the pairing.
  ASSERT_EQ(savePair(kUsbUdid, 3, "record", 6), 0);
  EXPECT_EQ(events.WaitFor(3).back(), std::make_pair(static_cast<int>(UE_DEVICE_PAIRED), 3u));
  EXPECT_EQ(unsubscribe(context), 0);
  const auto heard = events.WaitFor(5);
  ASSERT_EQ(heard.size(), 5u) << "the devices reported removed at the end";
  EXPECT_EQ(heard[3].first, UE_DEVICE_REMOVE);

  // The phone's announcement port, through the service: 280 bytes, then the phone closes.
  const int stream = connect(3, 4697);
  ASSERT_GE(stream, 0);
  std::string block;
  char buffer[512];
  int result = 0;
  for (int i = 0; i < 50; ++i) {
    uint32_t got = 0;
    result = receive(stream, buffer, sizeof buffer, &got, 100);
    block.append(buffer, got);
    if (result == -ECONNRESET) break;
  }
  EXPECT_EQ(block.size(), 280u);
  EXPECT_EQ(result, -ECONNRESET);
  EXPECT_EQ(-ECONNRESET, -108) << "the C runtime's own errno values";
  EXPECT_EQ(disconnect(stream), 0);
  EXPECT_LT(disconnect(stream), 0);
  EXPECT_LT(connect(3, 4698), 0) << "a port the device does not map";
}

}  // namespace
