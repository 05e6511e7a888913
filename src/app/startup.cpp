#include "app/startup.h"

#include "pipeline/pipeline.h"
#include "render/render.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstring>

namespace {

struct ModeRow {
  const char* entry;
  Setup setup;
};

const ModeRow modeTable[] = {
    {"1", setupGlsl},
    {"2", setupGlslSso},
    {"3", setupSpirv},
    {"4", setupSpirvSso},
};

} // namespace

void printMenu() {
  std::fprintf(stdout, "1: GLSL\n");
  std::fprintf(stdout, "2: GLSL SSO\n");
  std::fprintf(stdout, "3: SPIRV\n");
  std::fprintf(stdout, "4: SPIRV SSO\n");
  // A pipe or a file buffers fully; whoever reads the menu must see it before we wait.
  std::fflush(stdout);
}

void readChoice(std::FILE* input, char (&str)[80]) {
  str[0] = '\0';
  if (std::fscanf(input, "%79s", str) != 1) {
    str[0] = '\0';
  }
}

Setup findSetup(const char* str) {
  for (const ModeRow& row : modeTable) {
    if (std::strcmp(str, row.entry) == 0) {
      return row.setup;
    }
  }
  return nullptr;
}

void createWindow(int* argc, char** argv) {
  glutInit(argc, argv);
  glutInitContextVersion(4, 5);
  glutInitContextFlags(GLUT_DEBUG);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
  glutInitWindowSize(windowWidth, windowHeight);
  glutCreateWindow("Velmor");
}

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
