/*
 * kavex_camera_contract.h - what the engine shares with the virtual camera drivers and the programs
 * that read a camera: the named objects of each camera, the layout of the shared camera section
 * (section-mode drivers) and of a picture slot, and the picture layouts a consumer may demand.
 *
 * Every field is a little-endian 32-bit value at the given byte offset (the engine-attached flag is
 * one byte); the section is written from several processes, so each side accesses each field with
 * one atomic load or store. These values are fixed by the drivers: never change one.
 */
#ifndef KAVEX_CAMERA_CONTRACT_H
#define KAVEX_CAMERA_CONTRACT_H

#include <cstddef>
#include <cstdint>

namespace kavex_camera {

constexpr int kCameras = 4;

// Per camera index 0-3.
inline constexpr const char* kSectionNames[kCameras] = {
    "Global\\242C35CFE1974E5AB3C65625F6B417DD", "Global\\1E12F143DCC74A56B08BAF02F2916D56",
    "Global\\A5B4E22091324790839F8988BAD6A329", "Global\\A553BC49BCF64EBD82B611BF1732EFCA"};
// Set by the engine after each picture it hands over.
inline constexpr const char* kEventNames[kCameras] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227", "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A", "Global\\B37069356A2441CDB1C88A40072BE542"};
// Held by the engine while it changes the format or writes a picture.
inline constexpr const char* kMutexNames[kCameras] = {
    "Local\\877A906B2F5F43268C9E6D05A19783C9", "Local\\D0FFE94BCFE84304AB2864C45D3E4F73",
    "Local\\7E6EC30702974F539FBD718F4AB67FC1", "Local\\11B7EAD53EBA4EADA85E09247EACE933"};

// One picture slot: the picture data, then its length, time (float) and ready flag.
namespace slot {
constexpr size_t kBytes = 24883264;
constexpr size_t kDataBytes = 24883232;
constexpr size_t kLength = 24883232;
constexpr size_t kTime = 24883236;
constexpr size_t kReady = 24883240;
}  // namespace slot

// The shared camera section.
namespace section {
constexpr size_t kBytes = 49865088;
constexpr uint32_t kLayoutVersion = 6;

constexpr size_t kVersion = 0;
constexpr size_t kConsumerCount = 4;
constexpr size_t kSlotOffsets[2] = {32, 24883296};
constexpr size_t kEngineAttached = 49862564;  // one byte
constexpr size_t kDemandedWidth = 49864172;
constexpr size_t kDemandedHeight = 49864176;  // signed
constexpr size_t kDemandedFps = 49864180;     // float
constexpr size_t kDemandedCode = 49864184;
constexpr size_t kControlFlag = 49864572;
constexpr size_t kControlValue = 49864576;
constexpr size_t kFormatTableCapacity = 49864580;
constexpr size_t kFormatTableCount = 49864584;
constexpr size_t kFormatTableRows = 49864588;
// A row: width, height, frames per second × 1000, one more word.
constexpr size_t kFormatTableRowBytes = 16;
}  // namespace section

// The picture layouts a consumer may demand.
enum PixelCode : uint32_t {
  kRgb24 = 0,  // B, G, R per pixel; a negative height stores the bottom row first
  kYuy2 = 1,   // packed 4:2:2, Y0 U Y1 V
  kI420 = 2,   // Y plane, then U, then V, each at half width and half height
  kArgb = 3,   // A, R, G, B per pixel; a negative height stores the bottom row first
};

}  // namespace kavex_camera

#endif  // KAVEX_CAMERA_CONTRACT_H
