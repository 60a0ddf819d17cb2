#include "output/virtual_camera_output.h"

namespace kavex {

VirtualCameraOutput::VirtualCameraOutput(int ownerIndex, OutputControlListener* controlListener)
    : ownerIndex_(ownerIndex), controlListener_(controlListener) {}

int VirtualCameraOutput::Open() { return 0; }

}  // namespace kavex
