// Velmor: builds one vertex + fragment pipeline in the way the user picks, reports what the GL
// says about it, and draws a full-window quad with dual-source blending.

#include "app/startup.h"
#include "app/window.h"
#include "render/window_callbacks.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

// Asks NVIDIA Optimus drivers to run this process on the discrete GPU.
#ifdef _WIN32
#define VELMOR_EXPORT __declspec(dllexport)
#else
#define VELMOR_EXPORT __attribute__((visibility("default"), used))
#endif
extern "C" {
VELMOR_EXPORT unsigned int NvOptimusEnablement = 1;
}

int main(int argc, char** argv) {
  prepareConsole();
  createWindow(&argc, argv);
  if (!loadEntryPoints() || !buildChosenPipeline()) {
    return 1;
  }
  glutDisplayFunc(display);
  glutIdleFunc(idle);
  glutReshapeFunc(reshape);
  glutMainLoop();
  return 0;
}
