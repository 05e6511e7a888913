#include "diagnostics/diagnostics.h"

#include <cstdio>
#include <vector>

namespace {

// Shaders and programs answer the same two questions through twin entry points.
void printInfoLog(GLuint object, PFNGLGETSHADERIVPROC getParameter,
                  PFNGLGETSHADERINFOLOGPROC getLog) {
  // A builder that got no object has no log to show; asking the GL about name 0 would only
  // raise an error of Velmor's own making.
  if (!object) {
    return;
  }
  GLint log_length = 0;
  getParameter(object, GL_INFO_LOG_LENGTH, &log_length);
  if (log_length <= 0) {
    return;
  }
  // The spare NUL ends the text inside the buffer even if the GL writes less than it announced.
  std::vector<GLchar> log(static_cast<size_t>(log_length) + 1, '\0');
  getLog(object, log_length, nullptr, log.data());
  std::fprintf(stderr, "%s\n", log.data());
}

} // namespace

void printShaderInfoLog(GLuint shader) {
  printInfoLog(shader, glGetShaderiv, glGetShaderInfoLog);
}

void printProgramInfoLog(GLuint program) {
  printInfoLog(program, glGetProgramiv, glGetProgramInfoLog);
}
