// Velmor: builds one vertex + fragment pipeline in the way the user picks, reports what the GL
// says about it, and draws a full-window quad with dual-source blending.

#include "app/menu.h"
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

namespace {

void createWindow(int* argc, char** argv) {
  glutInit(argc, argv);
  glutInitContextVersion(4, 5);
  glutInitContextFlags(GLUT_DEBUG);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
  glutInitWindowSize(windowWidth, windowHeight);
  glutCreateWindow("Velmor");
}

// Prints the version line and the capability verdicts; false when start-up cannot go on.
bool checkCapabilities() {
  std::fprintf(stderr, "Supported Opengl version: %s\n",
               reinterpret_cast<const char*>(glGetString(GL_VERSION)));
  if (!glewIsSupported("GL_ARB_separate_shader_objects")) {
    std::fprintf(stderr, "GL_ARB_separate_shader_objects is not supported\n");
  }
  // The entry point, not the extension string, decides: modes 2 and 4 call through it.
  if (!glGenProgramPipelines) {
    std::fprintf(stderr, "failed to init the separate shader extension\n");
    return false;
  }
  if (!glewIsSupported("GL_ARB_gl_spirv")) {
    std::fprintf(stderr, "GL_ARB_gl_spirv is not supported\n");
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  // "Linked" lines must reach a pipe or a file as they happen, not when a buffer fills.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

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
  setup();

  createScreenQuad();
  printDebugLog();
  glutDisplayFunc(display);
  glutIdleFunc(idle);
  glutReshapeFunc(reshape);
  glutMainLoop();
  return 0;
}
