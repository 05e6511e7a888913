// Velmor: builds one vertex + fragment pipeline in the way the user picks, reports what the GL
// says about it, and draws a full-window quad with dual-source blending.

#include "app/fatal_signal.h"
#include "app/startup.h"
#include "diagnostics/diagnostics.h"
#include "render/render.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdio>

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
  // "Linked" lines must reach a pipe or a file as they happen, not when a buffer fills.
#ifdef _WIN32
  // Microsoft's C runtime treats _IOLBF as full buffering: there, stdout goes unbuffered.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
  reportFatalSignalsDuring("start-up");

  createWindow(&argc, argv);
  const GLenum status = glewInit();
  if (status != GLEW_OK) {
    std::fprintf(stderr, "Error: %s\n", reinterpret_cast<const char*>(glewGetErrorString(status)));
    return 1;
  }
  if (!checkCapabilities()) {
    return 1;
  }

  printMenu();
  char str[80];
  readChoice(stdin, str);
  const Setup setup = findSetup(str);
  if (!setup) {
    std::fprintf(stderr, "Invalid Entry\n");
    return 1;
  }
  char phase[100];
  std::snprintf(phase, sizeof phase, "the set-up of mode %s", str);
  reportFatalSignalsDuring(phase);
  setup();

  reportFatalSignalsDuring("drawing");
  createScreenQuad();
  printDebugLog();
  glutDisplayFunc(display);
  glutIdleFunc(idle);
  glutReshapeFunc(reshape);
  glutMainLoop();
  return 0;
}
