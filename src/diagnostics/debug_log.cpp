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

namespace {

// One fetch of at most count messages and textSize characters, each printed; how many came.
GLuint fetchAndPrint(GLuint count, GLsizei textSize) {
  std::vector<GLenum> sources(count);
  std::vector<GLenum> types(count);
  std::vector<GLuint> ids(count);
  std::vector<GLenum> severities(count);
  std::vector<GLsizei> lengths(count);
  // One byte beyond what the GL may fill stays NUL, so no text can be read past the buffer.
  std::vector<GLchar> text(static_cast<size_t>(textSize) + 1, '\0');

  const GLuint n =
      glGetDebugMessageLogARB(count, textSize, sources.data(), types.data(), ids.data(),
                              severities.data(), lengths.data(), text.data());

  // The walk trusts neither the count nor the lengths beyond the arrays it owns.
  GLuint printed = 0;
  size_t offset = 0;
  while (printed < n && printed < count && offset < static_cast<size_t>(textSize)) {
    const GLuint i = printed++;
    printDebugMessage(sources[i], types[i], ids[i], severities[i], text.data() + offset);
    if (lengths[i] < 0) {
      break;
    }
    offset += static_cast<size_t>(lengths[i]);
  }
  return printed;
}

// The length (its NUL included) of the next waiting message when the drain's buffer cannot hold
// it, else 0. The GL hands out whole messages only: such a message would never be fetched, and
// would hold back every message after it for the rest of the run.
GLsizei nextOversizedMessage() {
  GLint waiting = 0;
  glGetIntegerv(GL_DEBUG_LOGGED_MESSAGES_ARB, &waiting);
  if (waiting <= 0) {
    return 0;
  }
  GLint length = 0;
  GLint longest = 0;
  glGetIntegerv(GL_DEBUG_NEXT_LOGGED_MESSAGE_LENGTH_ARB, &length);
  glGetIntegerv(GL_MAX_DEBUG_MESSAGE_LENGTH_ARB, &longest);
  // Never more than the GL's own limit on a message: a buffer no larger than the GL says it needs.
  return length > maxText && length <= longest ? length : 0;
}

} // namespace

void printDebugLog() {
  // Start-up never asks for GL_ARB_debug_output; without its entry point there is no log to read.
  if (!glGetDebugMessageLogARB) {
    return;
  }
  // Fetches until the log is empty, so the last drain before drawing leaves nothing unprinted.
  // Every fetch that returns anything takes at least one message out: as many fetches as
  // messages wait are enough, and a fetch that returns nothing ends the drain.
  GLint waiting = 0;
  glGetIntegerv(GL_DEBUG_LOGGED_MESSAGES_ARB, &waiting);
  do {
    // A message too long for the buffer is taken out on its own, into a buffer of its length.
    const GLsizei oversized = nextOversizedMessage();
    const GLuint taken =
        oversized ? fetchAndPrint(1, oversized) : fetchAndPrint(maxMessages, maxText);
    if (taken == 0) {
      break;
    }
    waiting -= static_cast<GLint>(taken);
  } while (waiting > 0);
}
