// camera-viewer: plays the consumer of a virtual camera (an application that reads the camera),
// through the camera's shared section, and shows what it receives as figures and PNG snapshots.
// tools/camera-viewer/README.md describes it.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "viewer.h"
#include "viewer_options.h"

namespace {

std::atomic<bool> g_stop{false};

// Ctrl-C and closing the console end the run the normal way, so the consumer count goes back to 0.
BOOL WINAPI OnConsoleControl(DWORD) {
  g_stop.store(true);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  camera_viewer::ViewerOptions options;
  const std::string problem = camera_viewer::ParseOptions(argc, argv, &options);
  if (!problem.empty()) {
    std::fprintf(stderr, "camera-viewer: %s\n%s", problem.c_str(), camera_viewer::kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(camera_viewer::kUsage, stdout);
    return 0;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  return camera_viewer::Viewer(options).Run(g_stop);
}
