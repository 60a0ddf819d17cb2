#pragma once

namespace kavex {

// One kind of entry of the error log: the tag says which part of the engine failed, the code where.
// The stored text is "we:<tag>[detail]:<code>"; the phone that receives it reports it to us, so the
// values are fixed once they have shipped: add new ones, never renumber.
struct ErrorCode {
  const char* tag;
  int code;
};

// Every entry the engine records, by part.
namespace error_codes {

// "ei": an exception caught at a boundary (an export, an engine thread), so that it never reaches
// the host. The exports number themselves 1 to 14 in the order of kavex_engine.h.
constexpr ErrorCode ExportFailed(int exportNumber) { return ErrorCode{"ei", exportNumber}; }
inline constexpr ErrorCode kOpenThrew{"ei", 40};
inline constexpr ErrorCode kWorkerStartFailed{"ei", 41};
inline constexpr ErrorCode kOutputCreateFailed{"ei", 42};
inline constexpr ErrorCode kWorkerThrew{"ei", 43};
inline constexpr ErrorCode kReceiveThrew{"ei", 44};
inline constexpr ErrorCode kDecoderThrew{"ei", 45};
inline constexpr ErrorCode kFeederThrew{"ei", 46};
inline constexpr ErrorCode kDiscoveryThrew{"ei", 47};
inline constexpr ErrorCode kTeardownThrew{"ei", 48};
inline constexpr ErrorCode kTeardownThreadFailed{"ei", 49};
inline constexpr ErrorCode kAdbWatcherThrew{"ei", 50};
inline constexpr ErrorCode kUsbmuxMonitorThrew{"ei", 51};
// A camera torn down from a callback found neither a thread nor room to wait for one.
inline constexpr ErrorCode kTeardownAbandoned{"ei", 60};

// "qc": the machine's configuration.
inline constexpr ErrorCode kNoAddressWatch{"qc", 76};
inline constexpr ErrorCode kUnknownPixelCode{"qc", 805};

// "so": the TCP connection to a phone. The receive records get ".<length>.<type>" or the wait's
// error appended to the tag.
inline constexpr ErrorCode kSocketCreateFailed{"so", 96};
inline constexpr ErrorCode kSocketOptionsFailed{"so", 101};
inline constexpr ErrorCode kSendReturnedZero{"so", 150};
inline constexpr ErrorCode kSendReturnedTooMuch{"so", 156};
inline constexpr ErrorCode kMessageTooLong{"so.", 202};
inline constexpr ErrorCode kReceiveWaitFailed{"so.", 210};
inline constexpr ErrorCode kHeaderTooShort{"so.", 229};
// A stream through the USB multiplexing service.
inline constexpr ErrorCode kUsbMessageTooLong{"ub.", 298};  // "<length>.<type>"

// "sd": the video decoder. Some get the sizes involved appended to the tag.
inline constexpr ErrorCode kNoHardwareFormat{"sd", 34};
inline constexpr ErrorCode kPacketRingFull{"sd", 144};  // ".L<length>.F<free bytes>"
inline constexpr ErrorCode kSendAgain{"sd", 193};
inline constexpr ErrorCode kSendAfterEnd{"sd", 195};
inline constexpr ErrorCode kSendInvalid{"sd", 197};
inline constexpr ErrorCode kSendNoMemory{"sd", 199};
inline constexpr ErrorCode kSendFailed{"sd", 203};
inline constexpr ErrorCode kReceiveAfterEnd{"sd", 218};
inline constexpr ErrorCode kReceiveInvalid{"sd", 220};
inline constexpr ErrorCode kReceiveFailed{"sd", 222};
inline constexpr ErrorCode kPictureTooLarge{"sd", 236};  // ".W<width>.H<height>"
inline constexpr ErrorCode kNoPictureFrame{"ob", 16};

// "s": the virtual camera and microphone. Device and object failures get ".C<camera>E<system
// error>" (and "D<scan status>" for devices) appended to the tag.
inline constexpr ErrorCode kNoMicrophoneDevice{"s", 318};
inline constexpr ErrorCode kMicrophoneQueryFailed{"s", 328};
inline constexpr ErrorCode kSectionMicrophoneNotReady{"s", 347};
inline constexpr ErrorCode kNoCameraDevice{"s", 354};
inline constexpr ErrorCode kCameraQueryFailed{"s", 365};
inline constexpr ErrorCode kCameraTooOld{"s", 371};
inline constexpr ErrorCode kCameraDriverMismatch{"s", 387};
inline constexpr ErrorCode kFormatMutexTimeout{"s", 633};
inline constexpr ErrorCode kSlotMutexTimeout{"s", 673};
inline constexpr ErrorCode kFormatTableMutexTimeout{"s", 790};
inline constexpr ErrorCode kDemandTooLarge{"s", 791};
inline constexpr ErrorCode kNoCameraMutex{"s", 792};
inline constexpr ErrorCode kNoCameraEvent{"s", 793};

// "mc": finding phones (on the network, and through the Android debug bridge).
inline constexpr ErrorCode kAdbPipeFailed{"mc", 89};
inline constexpr ErrorCode kAdbStartFailed{"mc.", 106};  // "<system error>"
inline constexpr ErrorCode kIpv4AnnouncementBindFailed{"mc", 119};
inline constexpr ErrorCode kIpv6AnnouncementBindFailed{"mc", 181};
inline constexpr ErrorCode kServiceNameTooShort{"mc", 488};
inline constexpr ErrorCode kServiceQueriesFull{"mc", 493};
inline constexpr ErrorCode kSystemResolvesFull{"mc", 494};
inline constexpr ErrorCode kSystemInstanceNameTooShort{"mc", 563};
inline constexpr ErrorCode kSystemBrowseFailed{"mc", 681};
inline constexpr ErrorCode kSystemResolveFailed{"mc", 699};  // ".gle<system error>"

// "ub.": a stream through the USB multiplexing service (continued from above).
inline constexpr ErrorCode kUsbHeaderTooShort{"ub.", 299};  // "<length>.<type>": a length below 4

}  // namespace error_codes
}  // namespace kavex
