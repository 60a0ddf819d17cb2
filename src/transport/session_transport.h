#pragma once
#include "protocol/phone_connection.h"

namespace kavex {

// What a session owns of its connection, whichever way it goes to the phone: the connection, and
// the means to let go of it.
class SessionTransport : public PhoneConnection {
 public:
  // Ends the connection without calling the owner back (once it returns, no callback runs or will
  // run) and makes every later Send fail; joins the receive thread unless called on it. Idempotent.
  virtual void Stop() = 0;
};

}  // namespace kavex
