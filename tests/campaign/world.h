#pragma once
// The phones and the three roads to them, as run_campaign.sh set them up: four phone simulators
// on the phone side (each announcing itself on the network and answering on its announcement
// port, so a cable reaches it too), the multiplexing service simulator (iPhones on a cable), and
// the bridge stand-in's device script (Android phones on a cable). The campaign plugs and unplugs
// cables, stops and breaks the services, and plays the soak's phone faults, each on a player
// thread of its own so that a slow event (a phone that vanishes for seconds) holds up nothing else.
// Thread: Draw*, Heal, Idle, Describe on main; the events on the players.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "phone_link.h"
#include "sim_control.h"

namespace campaign {

constexpr int kPhones = 4;

// One thread that runs the events posted to it, one at a time.
class Player {
 public:
  Player();
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;
  // False (and nothing posted) while an event is still queued or running.
  bool Post(std::function<void()> event);
  bool Idle();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool running_ = false;
  bool stop_ = false;
  std::thread thread_;
};

struct Phone {
  int number = 0;
  std::string address;  // the simulator's own address (its ports 4697 and 4699)
  std::unique_ptr<soak::PhoneLink> link;
  // The roads as the campaign set them (what the engine makes of them is its business).
  std::atomic<bool> announcing{true};
  std::atomic<bool> bridge{false};
  std::atomic<bool> usbmux{false};
  std::atomic<bool> passcode{false};
  std::atomic<int> faultsUnderWay{0};
  std::string Roads() const;
};

class World {
 public:
  // phones: "N=ADDR:CONTROLPORT" as the runner gives them.
  std::string Connect(const std::vector<std::string>& phones);
  ~World();

  // The roads at the start: phone 1 on the network only, phone 2 also on the bridge's cable,
  // phone 3 also on the multiplexer's, phone 4 on the multiplexer's cable only.
  void SetUpRoads();
  // Draws one event on a phone or a road and starts it on its player; the event's name, or null
  // when its player was still busy. `tally` counts "kind@roads".
  const char* DrawEvent(std::mt19937& random, std::map<std::string, int>* tally);
  // Ends what the events left broken and may be ended (silences, passcodes, broken services,
  // paused announcements), so that every phone can be reached again.
  void Heal();
  // True once no event runs; false after timeoutMs.
  bool WaitIdle(int timeoutMs);
  bool FaultUnderWay();

  Phone& phone(int number) { return *phones_[number - 1]; }
  // Each phone's roads and its simulator's word, one line each.
  std::string Describe();

 private:
  void WriteBridgeScript();
  void PlugBridge(Phone& phone, bool plugged);
  void PlugUsbmux(Phone& phone, bool plugged);
  std::string Mux(const std::string& command);
  bool Hook(const std::string& name);

  std::vector<std::unique_ptr<Phone>> phones_;
  std::unique_ptr<Player> players_[kPhones];
  Player roadPlayer_;
  std::mutex muxMutex_;
  std::unique_ptr<SimControl> mux_;
  std::mutex bridgeMutex_;
  std::string bridgeScript_;
  std::string hooks_;
};

// Tells the engine's notification window that a USB device arrived or left, as the system does
// (Windows); natively there is no window and the bridge watcher's passes find the change.
bool SendUsbNotice(bool arrived);

}  // namespace campaign
