#pragma once
#include "common/phone_id.h"

namespace kavex {

class PhoneConnector;

// What a camera's connection side sees of the other cameras: a phone is shown by one camera at a
// time, so a camera taking one has every other camera let go of it first.
// Thread: the taking camera's worker.
class OtherCameras {
 public:
  virtual ~OtherCameras() = default;
  // Every camera but the one `taker` connects (past a slot whose camera the host closed, too) lets
  // go of `phone` if it still holds it (claimed or in a session); each one made to yield tells its
  // host and chooses again.
  virtual void TakePhoneFromOthers(const PhoneConnector& taker, const PhoneId& phone) = 0;
};

}  // namespace kavex
