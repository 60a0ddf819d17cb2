// A DNS-SD library for tests. It exports the six functions the engine looks up, with the
// library's own calling convention and shapes, and answers from a script instead of a responder:
// browsing, resolving and address look-ups queue the scripted replies on the new reference, and
// each queued reply makes the reference's socket readable once, so the engine finds them the way
// it finds real ones (waiting on the socket, then DNSServiceProcessResult). Nothing goes on the
// network: the sockets are a local pair (natively) or a loopback datagram socket that writes to
// itself (Windows, where the engine needs a Winsock socket to select on).
//
// The test loads the same library by name and drives it through three exports of its own:
//   int StandinLoadScript(const char* text)  replaces the script, clears the counters and the call
//                                            log; returns the number of lines it did not understand
//   int StandinCount(const char* name)       a counter (see Count below)
//   int StandinCallLog(char* out, int size)  the calls made so far, one line each; returns the
//                                            whole log's length
// The environment variable KAVEX_DNSSD_SCRIPT may name a script file, read at the first call when
// no script has been loaded.
//
// Script lines (blank lines and lines starting with # are skipped; "-" stands for a null text):
//   browse-fails CODE                     DNSServiceBrowse answers CODE
//   service FLAGS IFINDEX NAME TYPE DOMAIN a browse reply
//   browse-reply-error CODE               a browse reply carrying an error
//   resolve NAME FULLNAME HOST PORT [IFINDEX]   a resolve reply for instance NAME (PORT in host
//                                         order; the reply carries it in network order)
//   resolve-fails NAME CODE               DNSServiceResolve of NAME answers CODE
//   resolve-reply-error NAME CODE         a resolve reply for NAME carrying an error
//   address HOST IP [SCOPE]               an address reply for HOST (IPv4 or IPv6 text)
//   lookup-fails HOST CODE                DNSServiceGetAddrInfo of HOST answers CODE
//   address-reply-error HOST CODE         an address reply for HOST carrying an error
// Replies for one target come in script order.
#if defined(_WIN32)
#define _WIN32_WINNT 0x0601
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define STANDIN_API __stdcall
#define STANDIN_EXPORT
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define STANDIN_API
#define STANDIN_EXPORT __attribute__((visibility("default")))
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

struct StandinRef;
typedef StandinRef* DNSServiceRef;
typedef uint32_t DNSServiceFlags;
typedef uint32_t DNSServiceProtocol;
typedef int32_t DNSServiceErrorType;
#if defined(_WIN32)
typedef SOCKET dnssd_sock_t;
#else
typedef int dnssd_sock_t;
#endif

typedef void(STANDIN_API* DNSServiceBrowseReply)(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType,
                                                 const char*, const char*, const char*, void*);
typedef void(STANDIN_API* DNSServiceResolveReply)(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType,
                                                  const char*, const char*, uint16_t, uint16_t, const unsigned char*,
                                                  void*);
typedef void(STANDIN_API* DNSServiceGetAddrInfoReply)(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType,
                                                      const char*, const struct sockaddr*, uint32_t, void*);

namespace {

constexpr DNSServiceErrorType kNoError = 0;
constexpr DNSServiceErrorType kBadParam = -65540;
constexpr DNSServiceErrorType kBadReference = -65541;
constexpr DNSServiceErrorType kUnknown = -65537;

enum class Kind { kBrowse, kResolve, kLookup };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kBrowse:
      return "browse";
    case Kind::kResolve:
      return "resolve";
    default:
      return "lookup";
  }
}

struct Reply {
  DNSServiceFlags flags = 0;
  uint32_t interfaceIndex = 0;
  DNSServiceErrorType error = kNoError;
  std::string text1, text2, text3;  // browse: name, type, domain; resolve: full name, host
  bool null3 = false;               // browse: null domain
  uint16_t portNetworkOrder = 0;
  sockaddr_storage address{};
};

}  // namespace

struct StandinRef {
  Kind kind;
  std::string target;  // browse: the type; resolve: the instance; look-up: the host
  void* callback = nullptr;
  void* context = nullptr;
#if defined(_WIN32)
  SOCKET socket = INVALID_SOCKET;  // bound to loopback, signalled by a datagram to itself
  sockaddr_in self{};
#else
  int pair[2] = {-1, -1};  // the engine waits on [0]; a signal is a byte written to [1]
#endif
  std::deque<Reply> replies;
  bool inCallback = false;
  bool dead = false;  // deallocated during its own callback
};

namespace {

struct ScriptLine {
  std::string verb;
  std::vector<std::string> args;
};

struct State {
  std::mutex mutex;
  bool scriptLoaded = false;
  std::vector<ScriptLine> script;
  std::set<StandinRef*> live;
  std::string log;
  int created = 0, deallocated = 0, deallocatedInCallback = 0, badDeallocate = 0, badProcess = 0;
  int browseCalls = 0, resolveCalls = 0, lookupCalls = 0, processCalls = 0;
  int repliesDelivered = 0, repliesDropped = 0;
};

State& TheState() {
  static State* const state = new State;
  return *state;
}

int ParseScript(const std::string& text, std::vector<ScriptLine>* out) {
  int bad = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    ScriptLine entry;
    if (!(words >> entry.verb) || entry.verb[0] == '#') continue;
    for (std::string word; words >> word;) entry.args.push_back(word);
    size_t need;
    if (entry.verb == "browse-fails" || entry.verb == "browse-reply-error")
      need = 1;
    else if (entry.verb == "service")
      need = 5;
    else if (entry.verb == "resolve")
      need = 4;
    else if (entry.verb == "address")
      need = 2;
    else if (entry.verb == "resolve-fails" || entry.verb == "resolve-reply-error" || entry.verb == "lookup-fails" ||
             entry.verb == "address-reply-error")
      need = 2;
    else
      need = 1000;
    if (entry.args.size() < need) {
      ++bad;
      continue;
    }
    out->push_back(entry);
  }
  return bad;
}

void LoadScriptFromEnvironmentLocked(State& state) {
  if (state.scriptLoaded) return;
  state.scriptLoaded = true;
  const char* path = std::getenv("KAVEX_DNSSD_SCRIPT");
  if (path == nullptr) return;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  ParseScript(text.str(), &state.script);
}

long Number(const std::string& text) { return std::strtol(text.c_str(), nullptr, 0); }
const char* Text(const char* text) { return text != nullptr ? text : "(null)"; }

void AppendLog(State& state, const std::string& line) { state.log += line + "\n"; }

#if defined(_WIN32)
bool OpenSignal(StandinRef* ref) {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return false;
  ref->socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (ref->socket == INVALID_SOCKET) return false;
  ref->self.sin_family = AF_INET;
  ref->self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof ref->self;
  if (bind(ref->socket, reinterpret_cast<sockaddr*>(&ref->self), sizeof ref->self) != 0 ||
      getsockname(ref->socket, reinterpret_cast<sockaddr*>(&ref->self), &length) != 0) {
    closesocket(ref->socket);
    ref->socket = INVALID_SOCKET;
    return false;
  }
  return true;
}
void Signal(StandinRef* ref) {
  const char byte = 1;
  sendto(ref->socket, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&ref->self), sizeof ref->self);
}
void ConsumeSignal(StandinRef* ref) {
  char byte;
  recv(ref->socket, &byte, 1, 0);
}
void CloseSignal(StandinRef* ref) {
  if (ref->socket != INVALID_SOCKET) closesocket(ref->socket);
}
dnssd_sock_t SignalSocket(StandinRef* ref) { return ref->socket; }
#else
bool OpenSignal(StandinRef* ref) { return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ref->pair) == 0; }
void Signal(StandinRef* ref) {
  const char byte = 1;
  if (write(ref->pair[1], &byte, 1) != 1) std::perror("stand-in signal");
}
void ConsumeSignal(StandinRef* ref) {
  char byte;
  if (read(ref->pair[0], &byte, 1) != 1) std::perror("stand-in consume");
}
void CloseSignal(StandinRef* ref) {
  for (int fd : ref->pair)
    if (fd >= 0) close(fd);
}
dnssd_sock_t SignalSocket(StandinRef* ref) { return ref->pair[0]; }
#endif

void Destroy(State& state, StandinRef* ref) {
  state.repliesDropped += static_cast<int>(ref->replies.size());
  CloseSignal(ref);
  delete ref;
}

// A new live reference with its replies queued, or null.
StandinRef* NewRef(State& state, Kind kind, const std::string& target, void* callback, void* context,
                   std::deque<Reply> replies) {
  auto* ref = new StandinRef;
  ref->kind = kind;
  ref->target = target;
  ref->callback = callback;
  ref->context = context;
  if (!OpenSignal(ref)) {
    delete ref;
    return nullptr;
  }
  ref->replies = std::move(replies);
  for (size_t i = 0; i < ref->replies.size(); ++i) Signal(ref);
  state.live.insert(ref);
  ++state.created;
  return ref;
}

bool ToAddress(const std::string& ip, const std::string* scope, sockaddr_storage* out) {
  std::memset(out, 0, sizeof *out);
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    if (scope != nullptr) v6->sin6_scope_id = static_cast<uint32_t>(Number(*scope));
    return true;
  }
  return false;
}

}  // namespace

extern "C" {

STANDIN_EXPORT DNSServiceErrorType STANDIN_API DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                                uint32_t interfaceIndex, const char* regtype,
                                                                const char* domain, DNSServiceBrowseReply callBack,
                                                                void* context) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  LoadScriptFromEnvironmentLocked(state);
  ++state.browseCalls;
  AppendLog(state, "browse flags=" + std::to_string(flags) + " if=" + std::to_string(interfaceIndex) +
                       " type=" + Text(regtype) + " domain=" + Text(domain));
  if (sdRef == nullptr || callBack == nullptr || regtype == nullptr) return kBadParam;
  std::deque<Reply> replies;
  for (const ScriptLine& line : state.script) {
    if (line.verb == "browse-fails") return static_cast<DNSServiceErrorType>(Number(line.args[0]));
    Reply reply;
    if (line.verb == "service") {
      reply.flags = static_cast<DNSServiceFlags>(Number(line.args[0]));
      reply.interfaceIndex = static_cast<uint32_t>(Number(line.args[1]));
      reply.text1 = line.args[2];
      reply.text2 = line.args[3];
      reply.text3 = line.args[4];
      reply.null3 = line.args[4] == "-";
    } else if (line.verb == "browse-reply-error") {
      reply.error = static_cast<DNSServiceErrorType>(Number(line.args[0]));
    } else {
      continue;
    }
    replies.push_back(reply);
  }
  StandinRef* ref =
      NewRef(state, Kind::kBrowse, regtype, reinterpret_cast<void*>(callBack), context, std::move(replies));
  if (ref == nullptr) return kUnknown;
  *sdRef = ref;
  return kNoError;
}

STANDIN_EXPORT DNSServiceErrorType STANDIN_API DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                                 uint32_t interfaceIndex, const char* name,
                                                                 const char* regtype, const char* domain,
                                                                 DNSServiceResolveReply callBack, void* context) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  LoadScriptFromEnvironmentLocked(state);
  ++state.resolveCalls;
  AppendLog(state, "resolve flags=" + std::to_string(flags) + " if=" + std::to_string(interfaceIndex) +
                       " name=" + Text(name) + " type=" + Text(regtype) + " domain=" + Text(domain));
  if (sdRef == nullptr || callBack == nullptr || name == nullptr || regtype == nullptr || domain == nullptr)
    return kBadParam;
  std::deque<Reply> replies;
  for (const ScriptLine& line : state.script) {
    if (line.args.empty() || line.args[0] != name) continue;
    if (line.verb == "resolve-fails") return static_cast<DNSServiceErrorType>(Number(line.args[1]));
    Reply reply;
    reply.interfaceIndex = interfaceIndex;
    if (line.verb == "resolve") {
      reply.text1 = line.args[1];
      reply.text2 = line.args[2];
      reply.portNetworkOrder = htons(static_cast<uint16_t>(Number(line.args[3])));
      if (line.args.size() > 4) reply.interfaceIndex = static_cast<uint32_t>(Number(line.args[4]));
    } else if (line.verb == "resolve-reply-error") {
      reply.error = static_cast<DNSServiceErrorType>(Number(line.args[1]));
    } else {
      continue;
    }
    replies.push_back(reply);
  }
  StandinRef* ref = NewRef(state, Kind::kResolve, name, reinterpret_cast<void*>(callBack), context, std::move(replies));
  if (ref == nullptr) return kUnknown;
  *sdRef = ref;
  return kNoError;
}

STANDIN_EXPORT DNSServiceErrorType STANDIN_API DNSServiceGetAddrInfo(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                                                     uint32_t interfaceIndex,
                                                                     DNSServiceProtocol protocol, const char* hostname,
                                                                     DNSServiceGetAddrInfoReply callBack,
                                                                     void* context) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  LoadScriptFromEnvironmentLocked(state);
  ++state.lookupCalls;
  AppendLog(state, "lookup flags=" + std::to_string(flags) + " if=" + std::to_string(interfaceIndex) +
                       " protocol=" + std::to_string(protocol) + " host=" + Text(hostname));
  if (sdRef == nullptr || callBack == nullptr || hostname == nullptr) return kBadParam;
  std::deque<Reply> replies;
  for (const ScriptLine& line : state.script) {
    if (line.args.empty() || line.args[0] != hostname) continue;
    if (line.verb == "lookup-fails") return static_cast<DNSServiceErrorType>(Number(line.args[1]));
    Reply reply;
    reply.interfaceIndex = interfaceIndex;
    reply.text1 = hostname;
    if (line.verb == "address") {
      if (!ToAddress(line.args[1], line.args.size() > 2 ? &line.args[2] : nullptr, &reply.address)) continue;
    } else if (line.verb == "address-reply-error") {
      reply.error = static_cast<DNSServiceErrorType>(Number(line.args[1]));
    } else {
      continue;
    }
    replies.push_back(reply);
  }
  StandinRef* ref =
      NewRef(state, Kind::kLookup, hostname, reinterpret_cast<void*>(callBack), context, std::move(replies));
  if (ref == nullptr) return kUnknown;
  *sdRef = ref;
  return kNoError;
}

STANDIN_EXPORT dnssd_sock_t STANDIN_API DNSServiceRefSockFD(DNSServiceRef sdRef) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.live.count(sdRef) == 0) return static_cast<dnssd_sock_t>(-1);
  return SignalSocket(sdRef);
}

STANDIN_EXPORT DNSServiceErrorType STANDIN_API DNSServiceProcessResult(DNSServiceRef sdRef) {
  State& state = TheState();
  Reply reply;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    ++state.processCalls;
    if (state.live.count(sdRef) == 0 || sdRef->inCallback) {
      ++state.badProcess;
      return kBadReference;
    }
    // The engine only asks when the socket is readable, so a reply is waiting.
    if (sdRef->replies.empty()) return kUnknown;
    ConsumeSignal(sdRef);
    reply = sdRef->replies.front();
    sdRef->replies.pop_front();
    sdRef->inCallback = true;
    ++state.repliesDelivered;
  }
  // The reply runs without the lock: it calls back into the library (new references, and the
  // release of this very one, which real libraries allow from inside its own reply).
  switch (sdRef->kind) {
    case Kind::kBrowse:
      reinterpret_cast<DNSServiceBrowseReply>(sdRef->callback)(
          sdRef, reply.flags, reply.interfaceIndex, reply.error,
          reply.error == kNoError ? reply.text1.c_str() : nullptr,
          reply.error == kNoError ? reply.text2.c_str() : nullptr,
          reply.error == kNoError && !reply.null3 ? reply.text3.c_str() : nullptr, sdRef->context);
      break;
    case Kind::kResolve:
      reinterpret_cast<DNSServiceResolveReply>(sdRef->callback)(sdRef, reply.flags, reply.interfaceIndex, reply.error,
                                                                reply.error == kNoError ? reply.text1.c_str() : nullptr,
                                                                reply.error == kNoError ? reply.text2.c_str() : nullptr,
                                                                reply.portNetworkOrder, 0, nullptr, sdRef->context);
      break;
    case Kind::kLookup:
      reinterpret_cast<DNSServiceGetAddrInfoReply>(sdRef->callback)(
          sdRef, reply.flags, reply.interfaceIndex, reply.error, reply.text1.c_str(),
          reply.error == kNoError ? reinterpret_cast<const sockaddr*>(&reply.address) : nullptr, 120, sdRef->context);
      break;
  }
  std::lock_guard<std::mutex> lock(state.mutex);
  sdRef->inCallback = false;
  if (sdRef->dead) Destroy(state, sdRef);
  return kNoError;
}

STANDIN_EXPORT void STANDIN_API DNSServiceRefDeallocate(DNSServiceRef sdRef) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.live.erase(sdRef) == 0) {
    ++state.badDeallocate;
    AppendLog(state, "deallocate unknown");
    return;
  }
  ++state.deallocated;
  AppendLog(state, std::string("deallocate ") + KindName(sdRef->kind) + " " + sdRef->target);
  if (sdRef->inCallback) {
    ++state.deallocatedInCallback;
    sdRef->dead = true;  // freed when its reply returns
  } else {
    Destroy(state, sdRef);
  }
}

STANDIN_EXPORT int StandinLoadScript(const char* text) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.script.clear();
  state.scriptLoaded = true;
  state.log.clear();
  state.created = state.deallocated = state.deallocatedInCallback = 0;
  state.badDeallocate = state.badProcess = 0;
  state.browseCalls = state.resolveCalls = state.lookupCalls = state.processCalls = 0;
  state.repliesDelivered = state.repliesDropped = 0;
  return ParseScript(text != nullptr ? text : "", &state.script);
}

// Counters: live (references not yet released), live-browse, live-resolve, live-lookup, created,
// deallocated, deallocated-in-callback, bad-deallocate (unknown or released twice), bad-process
// (unknown reference, or one already in its reply), browse-calls, resolve-calls, lookup-calls,
// process-calls, replies-delivered, replies-dropped (queued replies of released references).
// -1 for an unknown name.
STANDIN_EXPORT int StandinCount(const char* name) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  const std::string what = name != nullptr ? name : "";
  auto liveOf = [&](Kind kind) {
    int n = 0;
    for (StandinRef* ref : state.live) n += ref->kind == kind;
    return n;
  };
  if (what == "live") return static_cast<int>(state.live.size());
  if (what == "live-browse") return liveOf(Kind::kBrowse);
  if (what == "live-resolve") return liveOf(Kind::kResolve);
  if (what == "live-lookup") return liveOf(Kind::kLookup);
  if (what == "created") return state.created;
  if (what == "deallocated") return state.deallocated;
  if (what == "deallocated-in-callback") return state.deallocatedInCallback;
  if (what == "bad-deallocate") return state.badDeallocate;
  if (what == "bad-process") return state.badProcess;
  if (what == "browse-calls") return state.browseCalls;
  if (what == "resolve-calls") return state.resolveCalls;
  if (what == "lookup-calls") return state.lookupCalls;
  if (what == "process-calls") return state.processCalls;
  if (what == "replies-delivered") return state.repliesDelivered;
  if (what == "replies-dropped") return state.repliesDropped;
  return -1;
}

STANDIN_EXPORT int StandinCallLog(char* out, int size) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (out != nullptr && size > 0) {
    const size_t n = std::min(state.log.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, state.log.data(), n);
    out[n] = '\0';
  }
  return static_cast<int>(state.log.size());
}

}  // extern "C"
