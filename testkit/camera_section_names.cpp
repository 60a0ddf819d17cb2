#include "camera_section_layout.h"

namespace testkit::camera_section {
namespace {

const char* const kSectionNames[kCameras] = {
    "Global\\242C35CFE1974E5AB3C65625F6B417DD", "Global\\1E12F143DCC74A56B08BAF02F2916D56",
    "Global\\A5B4E22091324790839F8988BAD6A329", "Global\\A553BC49BCF64EBD82B611BF1732EFCA"};
const char* const kEventNames[kCameras] = {
    "Global\\86A5E7A53B494A4AB6DFCF3422E84227", "Global\\66745621CA3B44C9B2CE53E2F723DB75",
    "Global\\20C7C78A21BB4053AF929B37EA9B5B6A", "Global\\B37069356A2441CDB1C88A40072BE542"};
const char* const kMutexNames[kCameras] = {
    "Local\\877A906B2F5F43268C9E6D05A19783C9", "Local\\D0FFE94BCFE84304AB2864C45D3E4F73",
    "Local\\7E6EC30702974F539FBD718F4AB67FC1", "Local\\11B7EAD53EBA4EADA85E09247EACE933"};

const char* Pick(const char* const (&names)[kCameras], int camera) {
  return camera >= 0 && camera < kCameras ? names[camera] : nullptr;
}

}  // namespace

const char* SectionName(int camera) { return Pick(kSectionNames, camera); }
const char* EventName(int camera) { return Pick(kEventNames, camera); }
const char* MutexName(int camera) { return Pick(kMutexNames, camera); }

}  // namespace testkit::camera_section
