// The floor for velmor-headless's time to first frame: its EGL context and framebuffer object,
// one cleared frame finished, nothing else.

#include "app/egl_context.h"
#include "app/startup.h"
#include "render/render.h"

#include <GL/glew.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const bool chosen = argc > 2 && std::strcmp(argv[1], "--device") == 0;
  const int device = chosen ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : -1;
  EglIdentity identity;
  if (!makeEglContext(device, &identity) || !loadEntryPoints(true) ||
      createFrameTarget() != GL_FRAMEBUFFER_COMPLETE) {
    return 1;
  }
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glFinish();
  return 0;
}
