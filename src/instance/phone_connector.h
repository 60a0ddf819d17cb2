#pragma once
#include <atomic>
#include <memory>
#include <string>

#include "common/phone_id.h"
#include "common/phone_state.h"
#include "platform/sync.h"

namespace kavex {

class ActiveConnection;
class EventQueue;
class HostCallbacks;
class OtherCameras;
class PhoneBroker;
class PhoneConnection;
class PhoneSession;
class SessionListener;
class SharedOutput;

// A camera's connection side: the phone it holds (claimed by its choice, or connected) and its
// session with it. It chooses a phone, takes one over from the other cameras, connects, and lets go
// of it again; the camera's stream side (the active connection, the output) is only told.
//
// Threads: the camera's worker makes every connection decision (choose, connect, release, refresh);
// another camera's worker taking the phone over runs YieldPhone; the session's receive thread looks
// up its connection and forgets the phone when the connection ends; the camera's teardown (a host
// or teardown thread) closes the sessions and lets go of the phone; any thread may read the current
// phone (the broker's roster does, under the phone list's lock). Owns the session (shared with its
// receive thread while it runs); the broker, the other cameras and the camera's parts it tells are
// its camera's and outlive it.
//
// Locks, in the order they may nest (both leaves apart from that):
//   the phone list's lock -> the broker's choice mutex -> phoneMutex_;
//   sessionMutex_ -> phoneMutex_ (a session starts, or a taker finds none, against the claim).
// No session is stopped (its receive thread joined) and nobody is told anything while either is
// held.
class PhoneConnector {
 public:
  // camera: the listener every session of this camera reports to; host, queue, connection, output:
  // the camera's parts that hear of a phone let go of (its host's state and list, its worker's
  // events, its active connection and its picture).
  PhoneConnector(int index, PhoneBroker& broker, OtherCameras& others, SessionListener& camera, HostCallbacks& host,
                 EventQueue& queue, ActiveConnection& connection, SharedOutput& output);
  PhoneConnector(const PhoneConnector&) = delete;
  PhoneConnector& operator=(const PhoneConnector&) = delete;

  int index() const { return index_; }
  PhoneId currentPhone() const;

  // Worker thread: a connect request. Lets go of the phone held, claims `phone`, takes it away
  // from every other camera and connects to it.
  void TakePhone(const PhoneId& phone);
  // Worker thread only (or another instance's worker taking the phone over).
  bool ConnectToPhone(const PhoneId& phone);
  // Lets go of the held phone and its session; `tellHost`: the host hears Idle once the session
  // stopped and before the phone is free.
  void ReleasePhone(bool tellHost = false);
  // Another camera's worker takes `phone`: lets go of it if this camera still holds it (claimed or
  // in a session), and leaves alone whatever this camera has moved on to meanwhile; tells this
  // camera's host and has it choose again. True when something was let go.
  bool YieldPhone(const PhoneId& phone);
  // The phone-list refresh: publish the list while a phone is shown, otherwise choose one.
  void RefreshPhoneList();
  // Queues a connect request for the selectable phone with this key, if any.
  void SelectPhoneByKey(const std::string& key);

  // The session's connection ended on its own (its receive thread): the camera holds no phone any
  // more; the session has reported the phone's state already.
  void ForgetCurrentPhone() { SetCurrentPhone(PhoneId{}); }
  // The connection of this session, if it still is this camera's.
  std::shared_ptr<PhoneConnection> ConnectionOf(const PhoneSession& session);

  // The camera is being stopped: no session starts from now on, and the one running ends now.
  void CloseSessions();
  // Ends the session and frees the phone this camera holds (claimed or connected) in the list.
  void LetGoOfPhone(bool tellHost = false);

 private:
  // Replaces the session with a new one that start() connects to `phone`; false (the new one
  // dropped) when it could not, or when the camera no longer holds the phone.
  template <typename Starter>
  bool StartSession(const PhoneId& phone, Starter&& start);
  // Ends the session, if any, without callbacks; returns its phone identifier.
  PhoneId DropSession();
  // The camera is connected (or connecting) to the phone it holds: its host has heard of it.
  bool HasSessionWithCurrentPhone() const;
  // The camera is being stopped: StartSession refuses.
  bool SessionsClosed() const;
  void SetCurrentPhone(const PhoneId& phone);
  // Clears the current phone if it is `phone`; true if it was.
  bool TakeCurrentPhoneIf(const PhoneId& phone);
  bool overUsb() const { return overUsb_.load(); }
  void ReportPhoneState(PhoneState state);

  const int index_;
  PhoneBroker& broker_;
  OtherCameras& others_;
  SessionListener& camera_;
  HostCallbacks& host_;
  EventQueue& queue_;
  ActiveConnection& activeConnection_;
  SharedOutput& output_;

  std::atomic<bool> overUsb_{false};
  // The session with the current phone. Created and dropped by the worker; looked up by its
  // receive thread.
  mutable platform::Mutex sessionMutex_;
  std::shared_ptr<PhoneSession> session_;
  bool sessionsClosed_ = false;  // the camera is being stopped: no session starts any more
  mutable platform::Mutex phoneMutex_;
  PhoneId currentPhone_;
};

}  // namespace kavex
