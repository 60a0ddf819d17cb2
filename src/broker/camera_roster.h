#pragma once
#include <vector>

#include "common/phone_id.h"

namespace kavex {

// One camera slot as the phone broker sees it.
struct CameraSlot {
  bool exists = false;
  PhoneId phone;  // the phone it holds; zero when none
  // False for a camera whose open failed: it never takes a phone, so no camera waits for it.
  bool takesPhones = true;
};

// What the phone broker needs to know of the cameras it serves, and how it tells them the list moved.
// Thread: any; called with the phone list's lock held (Cameras) or with no broker lock held
// (OnPhoneListChanged).
class CameraRoster {
 public:
  virtual ~CameraRoster() = default;
  // Every camera slot, in index order.
  virtual std::vector<CameraSlot> Cameras() = 0;
  // Every camera looks at the list again, lower indexes first.
  virtual void OnPhoneListChanged() = 0;
};

}  // namespace kavex
