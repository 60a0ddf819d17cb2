#include "camera_section_peer.h"

#include <cstring>

namespace testkit {
namespace cs = camera_section;
namespace {

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

uint32_t CameraSectionPeer::LoadU32(size_t offset) const {
  return __atomic_load_n(reinterpret_cast<const uint32_t*>(view_ + offset), __ATOMIC_ACQUIRE);
}

void CameraSectionPeer::StoreU32(size_t offset, uint32_t value) {
  __atomic_store_n(reinterpret_cast<uint32_t*>(view_ + offset), value, __ATOMIC_RELEASE);
}

void CameraSectionPeer::Publish(const CameraDemand& demand) {
  Free(0);
  Free(1);
  SetDemand(demand);
  SetConsumerCount(1);
  SetLayoutVersion(cs::kLayoutVersion);
}

void CameraSectionPeer::SetDemand(const CameraDemand& demand) {
  // The width last: the engine takes a demand without a size for no demand at all.
  StoreU32(cs::kDemandedFps, FloatBits(demand.fps));
  StoreU32(cs::kDemandedCode, demand.code);
  StoreU32(cs::kDemandedHeight, static_cast<uint32_t>(demand.height));
  StoreU32(cs::kDemandedWidth, demand.width);
}

void CameraSectionPeer::SetControls(uint32_t value, uint32_t flag) {
  StoreU32(cs::kControlValue, value);
  StoreU32(cs::kControlFlag, flag);
}

void CameraSectionPeer::SetConsumerCount(uint32_t count) { StoreU32(cs::kConsumerCount, count); }
void CameraSectionPeer::SetLayoutVersion(uint32_t version) { StoreU32(cs::kVersion, version); }
void CameraSectionPeer::SetFormatTableCapacity(uint32_t rows) { StoreU32(cs::kFormatTableCapacity, rows); }

bool CameraSectionPeer::EngineAttached() const {
  return __atomic_load_n(view_ + cs::kEngineAttached, __ATOMIC_ACQUIRE) != 0;
}

uint32_t CameraSectionPeer::FormatTableCount() const { return LoadU32(cs::kFormatTableCount); }

FormatTableRow CameraSectionPeer::FormatTableRowAt(uint32_t row) const {
  const size_t at = cs::kFormatTableRows + static_cast<size_t>(row) * cs::kFormatTableRowBytes;
  return {LoadU32(at), LoadU32(at + 4), LoadU32(at + 8), LoadU32(at + 12)};
}

bool CameraSectionPeer::Ready(int slot) const { return LoadU32(cs::kSlotOffsets[slot & 1] + cs::kSlotReady) != 0; }

float CameraSectionPeer::Time(int slot) const {
  const uint32_t bits = LoadU32(cs::kSlotOffsets[slot & 1] + cs::kSlotTime);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint32_t CameraSectionPeer::Length(int slot) const { return LoadU32(cs::kSlotOffsets[slot & 1] + cs::kSlotLength); }

const uint8_t* CameraSectionPeer::Data(int slot) const { return Slot(slot); }

void CameraSectionPeer::Free(int slot) { StoreU32(cs::kSlotOffsets[slot & 1] + cs::kSlotReady, 0); }

int CameraSectionPeer::OldestReady() const {
  int oldest = -1;
  for (int slot = 0; slot < 2; ++slot) {
    if (Ready(slot) && (oldest < 0 || Time(slot) < Time(oldest))) oldest = slot;
  }
  return oldest;
}

bool CameraSectionPeer::Take(int slot, size_t bytes, std::vector<uint8_t>* data, SlotPicture* picture) {
  if (!Ready(slot)) return false;
  picture->time = Time(slot);
  picture->length = Length(slot);
  if (bytes > cs::kSlotDataBytes) bytes = cs::kSlotDataBytes;
  data->assign(Slot(slot), Slot(slot) + bytes);
  // With both slots full the engine rewrites the older one in place; a time that moved while the
  // bytes were copied means the copy may mix two pictures.
  picture->overwritten = Time(slot) != picture->time;
  Free(slot);
  return true;
}

}  // namespace testkit
