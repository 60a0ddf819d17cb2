#include "world.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "faults.h"
#include "journal.h"
#include "wait_until.h"

namespace campaign {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int Between(std::mt19937& random, int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

// The multiplexer's device of a phone: the phone's ports 4697 and 4699 on its own address.
std::string MuxDevice(const Phone& phone) {
  return std::to_string(phone.number) + " 00008030-00CA0000000000" + std::to_string(phone.number) +
         "E usb product=0x12a8 host=" + phone.address + " 4697=4697 4699=4699";
}

std::string BridgeSerial(const Phone& phone) { return "CAMP000" + std::to_string(phone.number); }

}  // namespace

// ---- players -------------------------------------------------------------------------------

Player::Player() {
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      std::function<void()> event = std::move(queue_.front());
      queue_.pop_front();
      running_ = true;
      lock.unlock();
      event();
      lock.lock();
      running_ = false;
    }
  });
}

Player::~Player() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool Player::Post(std::function<void()> event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || !queue_.empty()) return false;
    queue_.push_back(std::move(event));
  }
  wake_.notify_all();
  return true;
}

bool Player::Idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !running_ && queue_.empty();
}

// ---- the world -----------------------------------------------------------------------------

std::string Phone::Roads() const {
  std::string roads = announcing ? "net" : "";
  if (bridge) roads += roads.empty() ? "bridge" : "+bridge";
  if (usbmux) roads += roads.empty() ? "usbmux" : "+usbmux";
  return roads.empty() ? "none" : roads;
}

std::string World::Connect(const std::vector<std::string>& phones) {
  if (phones.size() != kPhones) return "four phones are needed";
  for (const std::string& given : phones) {
    const size_t equals = given.find('='), colon = given.rfind(':');
    if (equals == std::string::npos || colon == std::string::npos || colon < equals) return "bad phone " + given;
    auto phone = std::make_unique<Phone>();
    phone->number = std::atoi(given.substr(0, equals).c_str());
    if (phone->number != static_cast<int>(phones_.size()) + 1) return "phones must come as 1..4: " + given;
    phone->address = given.substr(equals + 1, colon - equals - 1);
    phone->link = std::make_unique<soak::PhoneLink>(std::to_string(phone->number), given.substr(equals + 1));
    if (!phone->link->connected()) return "no phone simulator control channel at " + given.substr(equals + 1);
    phones_.push_back(std::move(phone));
  }
  for (auto& player : players_) player = std::make_unique<Player>();
  mux_ = std::make_unique<SimControl>(Env("KAVEX_CAMPAIGN_MUX_CONTROL"));
  if (!mux_->connected()) return "no multiplexing service control channel at " + Env("KAVEX_CAMPAIGN_MUX_CONTROL");
  bridgeScript_ = Env("KAVEX_CAMPAIGN_BRIDGE_SCRIPT");
  hooks_ = Env("KAVEX_CAMPAIGN_HOOKS");
  if (bridgeScript_.empty() || hooks_.empty()) return "run through run_campaign.sh (no bridge script or hooks folder)";
  return {};
}

World::~World() {
  for (auto& player : players_) player.reset();
}

void World::SetUpRoads() {
  for (auto& phone : phones_) {
    phone->announcing = phone->number != 4;
    phone->link->Command(phone->announcing ? "announcing on" : "announcing off");
    phone->link->Command("set no-passcode");
    phone->passcode = false;
    phone->bridge = phone->number == 2;
    phone->usbmux = false;
    PlugUsbmux(*phone, phone->number >= 3);
  }
  WriteBridgeScript();
}

void World::WriteBridgeScript() {
  std::lock_guard<std::mutex> lock(bridgeMutex_);
  std::string text = "style " + std::string(Env("KAVEX_CAMPAIGN_CRLF") == "1" ? "crlf" : "lf") + "\n";
  for (auto& phone : phones_)
    if (phone->bridge) text += "device " + BridgeSerial(*phone) + " device " + phone->address + "\n";
  const std::string temporary = bridgeScript_ + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
  }
  std::rename(temporary.c_str(), bridgeScript_.c_str());
}

void World::PlugBridge(Phone& phone, bool plugged) {
  phone.bridge = plugged;
  WriteBridgeScript();
  SendUsbNotice(plugged);
}

void World::PlugUsbmux(Phone& phone, bool plugged) {
  phone.usbmux = plugged;
  Mux(plugged ? "attach " + MuxDevice(phone) : "detach " + std::to_string(phone.number));
}

std::string World::Mux(const std::string& command) {
  std::lock_guard<std::mutex> lock(muxMutex_);
  std::string reply = mux_->Command(command, 10000);
  if (reply.empty()) {
    // The control channel survives the service's restarts; a broken one is opened again.
    mux_ = std::make_unique<SimControl>(Env("KAVEX_CAMPAIGN_MUX_CONTROL"));
    reply = mux_->Command(command, 10000);
  }
  return reply;
}

bool World::Hook(const std::string& name) {
  const std::string request = hooks_ + "/" + name + ".req", done = hooks_ + "/" + name + ".done";
  std::remove(done.c_str());
  { std::ofstream(request) << "\n"; }
  const bool answered = testkit::WaitUntil([&] { return std::ifstream(done).good(); }, 20000, 100);
  std::remove(done.c_str());
  return answered;
}

const char* World::DrawEvent(std::mt19937& random, std::map<std::string, int>* tally) {
  Phone& phone = *phones_[static_cast<size_t>(Between(random, 0, kPhones - 1))];
  Player& player = *players_[phone.number - 1];
  const std::string roads = phone.Roads();
  std::function<void()> event;
  const char* name = nullptr;
  const int pick = Between(random, 0, 29);
  bool onRoad = false;
  if (pick < 12) {
    // The soak's phone faults: goodbye, drop, vanish, reset, stall, trickle, oversize, ...
    const soak::Fault fault = soak::DrawFault(random);
    name = soak::FaultName(fault.kind);
    event = [this, &phone, fault] {
      const std::string problems = soak::ApplyFault(fault, *phone.link);
      if (fault.kind == soak::FaultKind::kVanish) {
        // A new simulator starts with its options: announcing, no passcode.
        phone.announcing = true;
        phone.passcode = false;
      }
      if (!problems.empty()) Journal::Get().Note("phone %d: %s", phone.number, problems.c_str());
    };
  } else if (pick == 12) {
    name = "corrupt";
    const int count = Between(random, 1, 60);
    event = [&phone, count] { phone.link->Command("corrupt " + std::to_string(count)); };
  } else if (pick == 13) {
    name = "passcode";
    event = [&phone] {
      phone.passcode = true;
      phone.link->Command("set passcode 1234");
      phone.link->Command("reset");
    };
  } else if (pick < 16) {
    name = "leaves-network";
    const int away = Between(random, 1000, 20000);
    event = [&phone, away] {
      phone.announcing = false;
      phone.link->Command("announcing off");
      Pause(away);
      phone.announcing = true;
      phone.link->Command("announcing on");
    };
  } else if (pick < 18) {
    // From the network to a cable and back.
    name = "moves-to-cable";
    const bool bridge = Between(random, 0, 1) == 1;
    const int stay = Between(random, 3000, 25000);
    event = [this, &phone, bridge, stay] {
      phone.announcing = false;
      phone.link->Command("announcing off");
      if (bridge)
        PlugBridge(phone, true);
      else
        PlugUsbmux(phone, true);
      Pause(stay);
      if (bridge)
        PlugBridge(phone, false);
      else
        PlugUsbmux(phone, false);
      phone.announcing = true;
      phone.link->Command("announcing on");
    };
  } else if (pick < 21) {
    name = phone.usbmux ? "usbmux-unplug" : "usbmux-plug";
    event = [this, &phone] { PlugUsbmux(phone, !phone.usbmux); };
  } else if (pick < 24) {
    name = phone.bridge ? "bridge-unplug" : "bridge-plug";
    event = [this, &phone] { PlugBridge(phone, !phone.bridge); };
  } else {
    onRoad = true;
    switch (pick) {
      case 24:
        name = "bridge-killed";
        event = [this] { Hook("bridge_killed"); };
        break;
      case 25: {
        name = "usbmux-restart";
        const int ms = Between(random, 200, 5000);
        event = [this, ms] { Mux("restart " + std::to_string(ms)); };
        break;
      }
      case 26: {
        static const char* const kModes[] = {"truncated", "tiny-length", "bad-plist", "unknown-type", "no-number"};
        name = "usbmux-malformed";
        const std::string mode = kModes[Between(random, 0, 4)];
        const int ms = Between(random, 500, 5000);
        event = [this, mode, ms] {
          Mux("malformed " + mode);
          Pause(ms);
          Mux("malformed off");
        };
        break;
      }
      case 27: {
        name = "usbmux-hangs";
        const int ms = Between(random, 1000, 12000);
        event = [this, ms] {
          Mux("malformed silent");
          Pause(ms);
          Mux("malformed off");
        };
        break;
      }
      default:
        name = "address-change";
        event = [this] { Hook("address_change"); };
        break;
    }
  }
  Player& runner = onRoad ? roadPlayer_ : player;
  const std::string what = name;
  Phone* target = onRoad ? nullptr : &phone;
  if (target != nullptr) ++target->faultsUnderWay;
  const bool posted = runner.Post([event, what, target] {
    Journal::Get().Note("event %s%s begins", what.c_str(),
                        target ? (" on phone " + std::to_string(target->number)).c_str() : "");
    event();
    Journal::Get().Note("event %s ends", what.c_str());
    if (target != nullptr) --target->faultsUnderWay;
  });
  if (!posted) {
    if (target != nullptr) --target->faultsUnderWay;
    return nullptr;
  }
  (*tally)[what + "@" + (onRoad ? std::string("road") : roads)]++;
  return name;
}

void World::Heal() {
  Mux("malformed off");
  for (auto& phone : phones_) {
    phone->link->Command("resume");
    phone->link->Command("set no-passcode");
    phone->passcode = false;
    phone->link->Command("announcing on");
    phone->announcing = true;
  }
}

bool World::FaultUnderWay() {
  for (auto& phone : phones_)
    if (phone->faultsUnderWay > 0) return true;
  return !roadPlayer_.Idle();
}

bool World::WaitIdle(int timeoutMs) {
  return testkit::WaitUntil(
      [this] {
        for (auto& player : players_)
          if (!player->Idle()) return false;
        return roadPlayer_.Idle();
      },
      timeoutMs, 100);
}

std::string World::Describe() {
  std::string text;
  for (auto& phone : phones_) {
    const std::string state = phone->link->State();
    text += "  phone " + std::to_string(phone->number) + " (" + phone->Roads() + (phone->passcode ? ", passcode" : "") +
            "): " + (state.empty() ? "no answer" : state) + "\n";
  }
  text += "  multiplexer: " + Mux("status") + "\n";
  return text;
}

}  // namespace campaign
