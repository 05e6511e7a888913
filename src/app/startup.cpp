#include "app/startup.h"

#include "app/fatal_signal.h"
#include "diagnostics/diagnostics.h"
#include "pipeline/pipeline.h"
#include "render/render.h"

#include <GL/glew.h>

#include <cstring>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

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

// A closed standard descriptor is the number the next open file gets: the X connection would
// then take velmor's menu as protocol. Each closed one becomes /dev/null before anything opens.
void openClosedStandardDescriptors() {
#ifndef _WIN32
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
#endif
}

} // namespace

void prepareConsole() {
  openClosedStandardDescriptors();
  // "Linked" lines must reach a pipe or a file as they happen, not when a buffer fills.
#ifdef _WIN32
  // Microsoft's C runtime treats _IOLBF as full buffering: there, stdout goes unbuffered.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
  reportFatalSignalsDuring("start-up");
}

bool loadEntryPoints() {
  const GLenum status = glewInit();
  if (status != GLEW_OK) {
    printGlewError(status);
    return false;
  }
  return true;
}

void printGlewError(GLenum status) {
  std::fprintf(stderr, "Error: %s\n", reinterpret_cast<const char*>(glewGetErrorString(status)));
}

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

bool buildChosenPipeline() {
  if (!checkCapabilities()) {
    return false;
  }
  printMenu();
  char str[80];
  readChoice(stdin, str);
  const Setup setup = findSetup(str);
  if (!setup) {
    std::fprintf(stderr, "Invalid Entry\n");
    return false;
  }
  char phase[100];
  std::snprintf(phase, sizeof phase, "the set-up of mode %s", str);
  reportFatalSignalsDuring(phase);
  setup();

  reportFatalSignalsDuring("drawing");
  createScreenQuad();
  printDebugLog();
  return true;
}
