// The floor for velmor-headless's time to first frame: its EGL context and framebuffer object,
// one cleared frame finished and, with --png FILE, written as velmor-headless writes its own.
// Other arguments (the runner's --info) are ignored.

#include "app/egl_context.h"
#include "render/frame_png.h"
#include "render/frame_target.h"

#include <GL/glew.h>

#include <cstdlib>
#include <cstring>

namespace {

// The value that follows `option` in the arguments, or nullptr.
const char* argumentOf(int argc, char** argv, const char* option) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0) {
      return argv[i + 1];
    }
  }
  return nullptr;
}

} // namespace

int main(int argc, char** argv) {
  const char* chosen = argumentOf(argc, argv, "--device");
  const int device = chosen ? static_cast<int>(std::strtol(chosen, nullptr, 10)) : -1;
  const char* png = argumentOf(argc, argv, "--png");
  EglIdentity identity;
  if (!makeEglContext(device, &identity) || !loadEntryPointsOnEgl() ||
      createFrameTarget() != GL_FRAMEBUFFER_COMPLETE) {
    return 1;
  }
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  if (png && !writeFramePng(png)) {
    return 1;
  }
  glFinish();
  return 0;
}
