#include "diagnostics/diagnostics.h"

#include <cstdio>
#include <vector>

namespace {

constexpr GLuint maxMessages = 64;
constexpr GLsizei maxText = 2048;

} // namespace

const char* debugSourceText(GLenum source) {
  switch (source) {
  case GL_DEBUG_SOURCE_API_ARB:
    return "OpenGL";
  case GL_DEBUG_SOURCE_WINDOW_SYSTEM_ARB:
    return "Windows";
  case GL_DEBUG_SOURCE_SHADER_COMPILER_ARB:
    return "Shader Compiler";
  case GL_DEBUG_SOURCE_THIRD_PARTY_ARB:
    return "Third Party";
  case GL_DEBUG_SOURCE_APPLICATION_ARB:
    return "Application";
  case GL_DEBUG_SOURCE_OTHER_ARB:
    return "Other";
  default:
    return "UNKNOW";
  }
}

const char* debugTypeText(GLenum type) {
  switch (type) {
  case GL_DEBUG_TYPE_ERROR_ARB:
    return "Error";
  case GL_DEBUG_TYPE_DEPRECATED_BEHAVIOR_ARB:
    return "Deprecated behavior";
  case GL_DEBUG_TYPE_UNDEFINED_BEHAVIOR_ARB:
    return "Undefined behavior";
  case GL_DEBUG_TYPE_PORTABILITY_ARB:
    return "Portability";
  case GL_DEBUG_TYPE_PERFORMANCE_ARB:
    return "Performance";
  case GL_DEBUG_TYPE_OTHER_ARB:
    return "Other";
  default:
    return "UNKNOW";
  }
}

const char* debugSeverityText(GLenum severity) {
  switch (severity) {
  case GL_DEBUG_SEVERITY_HIGH_ARB:
    return "High";
  case GL_DEBUG_SEVERITY_MEDIUM_ARB:
    return "Med";
  case GL_DEBUG_SEVERITY_LOW_ARB:
    return "Low";
  case GL_DEBUG_SEVERITY_NOTIFICATION:
    return "Notification";
  default:
    return "UNKNOW";
  }
}

void printDebugMessage(GLenum source, GLenum type, GLuint id, GLenum severity,
                       const GLchar* message) {
  // Each buffer holds the longest text of its table exactly.
  char debSource[16];
  char debType[20];
  char debSev[13];
  std::snprintf(debSource, sizeof debSource, "%s", debugSourceText(source));
  std::snprintf(debType, sizeof debType, "%s", debugTypeText(type));
  std::snprintf(debSev, sizeof debSev, "%s", debugSeverityText(severity));
  // Signed on purpose: drivers' IDs above 2^31 read as the negative numbers their docs list.
  std::fprintf(stderr, "Source:%s\tType:%s\tID:%d\tSeverity:%s\tMessage:%s\n", debSource, debType,
               static_cast<int>(id), debSev, message);
}

void printDebugLog() {
  // Start-up never asks for GL_ARB_debug_output; without its entry point there is no log to read.
  if (!glGetDebugMessageLogARB) {
    return;
  }
  std::vector<GLenum> sources(maxMessages);
  std::vector<GLenum> types(maxMessages);
  std::vector<GLuint> ids(maxMessages);
  std::vector<GLenum> severities(maxMessages);
  std::vector<GLsizei> lengths(maxMessages);
  // One byte beyond what the GL may fill stays NUL, so no text can be read past the buffer.
  std::vector<GLchar> text(maxText + 1, '\0');

  // A single fetch: whatever does not fit waits in the GL's log for the next drain.
  const GLuint n =
      glGetDebugMessageLogARB(maxMessages, maxText, sources.data(), types.data(), ids.data(),
                              severities.data(), lengths.data(), text.data());

  // The walk trusts neither the count nor the lengths beyond the arrays it owns.
  size_t offset = 0;
  for (GLuint i = 0; i < n && i < maxMessages && offset < static_cast<size_t>(maxText); ++i) {
    printDebugMessage(sources[i], types[i], ids[i], severities[i], text.data() + offset);
    if (lengths[i] < 0) {
      break;
    }
    offset += static_cast<size_t>(lengths[i]);
  }
}
