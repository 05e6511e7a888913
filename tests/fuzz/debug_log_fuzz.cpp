// Catches a debug-log drain that reads or prints past its own arrays whatever count, lengths and
// texts the GL reports, or that leaves messages in a log a GL could hold; and a menu check that
// overflows its token or accepts anything but an exact entry, whatever bytes arrive on standard
// input.
//
// No GL context: glGetDebugMessageLogARB is GLEW's function pointer, pointed here at a fake, and
// glGetIntegerv is defined here, ahead of the GL library's. The fake log either keeps the GL's
// rules (whole messages only, in order, each fetched once) or, like a broken GL, writes only
// within the buffers it is given yet claims any count, any lengths and any queries.
// Built by clang this is a libFuzzer target; otherwise main below feeds it random inputs.

#include "app/startup.h"
#include "diagnostics/diagnostics.h"

#include <GL/glew.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace {

// The part of the current input the fake has not used yet.
const uint8_t* rest;
size_t restSize;

uint32_t take(size_t bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes && restSize > 0; ++i, ++rest, --restSize) {
    value |= static_cast<uint32_t>(*rest) << (8 * i);
  }
  return value;
}

// Mostly small numbers, so walks go on for a while; now and then any 32-bit value at all.
uint32_t takeNumber() {
  const uint32_t small = take(1);
  return small < 0xF0 ? small : take(4);
}

// A log that keeps the GL's rules: lengths count the NUL, and a fetch stops at the first message
// that does not fit whole into what is left of the buffer.
struct Message {
  GLenum source, type, severity;
  GLuint id;
  GLsizei length;
};
constexpr GLsizei maxLength = 4096;
std::deque<Message> honestLog;
bool honest;

GLuint GLAPIENTRY honestFetch(GLuint count, GLsizei bufSize, GLenum* sources, GLenum* types,
                              GLuint* ids, GLenum* severities, GLsizei* lengths, GLchar* text) {
  GLuint n = 0;
  GLsizei used = 0;
  while (n < count && !honestLog.empty() && honestLog.front().length <= bufSize - used) {
    const Message m = honestLog.front();
    honestLog.pop_front();
    sources[n] = m.source;
    types[n] = m.type;
    ids[n] = m.id;
    severities[n] = m.severity;
    lengths[n] = m.length;
    std::memset(text + used, 'm', static_cast<size_t>(m.length - 1));
    text[used + m.length - 1] = '\0';
    used += m.length;
    ++n;
  }
  return n;
}

GLuint GLAPIENTRY fakeFetch(GLuint count, GLsizei bufSize, GLenum* sources, GLenum* types,
                            GLuint* ids, GLenum* severities, GLsizei* lengths, GLchar* text) {
  const GLuint claimed = takeNumber();
  for (GLuint i = 0; i < count && restSize > 0; ++i) {
    // Each table's values and a few beyond it.
    sources[i] = GL_DEBUG_SOURCE_API_ARB + take(1) % 8;
    types[i] = GL_DEBUG_TYPE_ERROR_ARB + take(1) % 8;
    const uint32_t severity = take(1) % 5;
    severities[i] =
        severity == 4 ? GL_DEBUG_SEVERITY_NOTIFICATION : GL_DEBUG_SEVERITY_HIGH_ARB + severity;
    ids[i] = take(4);
    lengths[i] = static_cast<GLsizei>(takeNumber());
  }
  const size_t textSize = std::min(restSize, static_cast<size_t>(std::max(bufSize, 0)));
  std::memcpy(text, rest, textSize);
  return claimed;
}

// One drain must empty a log the GL could hold, however long its messages are.
void drainHonestLog() {
  honestLog.clear();
  for (uint32_t count = take(1) % 12; count > 0 && restSize > 0; --count) {
    const GLsizei length = static_cast<GLsizei>(1 + take(2) % maxLength);
    honestLog.push_back({GL_DEBUG_SOURCE_API_ARB, GL_DEBUG_TYPE_OTHER_ARB,
                         GL_DEBUG_SEVERITY_LOW_ARB, take(4), length});
  }
  glGetDebugMessageLogARB = honestFetch;
  printDebugLog();
  if (!honestLog.empty()) {
    std::abort(); // a drain left messages behind, or jammed on one
  }
}

void drainDebugLog(const uint8_t* data, size_t size) {
  rest = data;
  restSize = size;
  honest = take(1) % 2;
  if (honest) {
    drainHonestLog();
    return;
  }
  glGetDebugMessageLogARB = fakeFetch;
  printDebugLog();
}

void checkMenu(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  // fmemopen refuses an empty buffer; /dev/null is an input that ends at once.
  std::FILE* input = size ? fmemopen(bytes.data(), size, "r") : std::fopen("/dev/null", "r");
  if (!input) {
    std::abort();
  }
  char str[80];
  std::memset(str, 'x', sizeof str);
  readChoice(input, str);
  std::fclose(input);
  if (std::memchr(str, '\0', sizeof str) == nullptr) {
    std::abort();
  }
  const bool entry = std::strlen(str) == 1 && str[0] >= '1' && str[0] <= '4';
  if ((findSetup(str) != nullptr) != entry) {
    std::abort();
  }
}

} // namespace

// What the drain asks of the GL's state, answered by the log in use.
void GLAPIENTRY glGetIntegerv(GLenum name, GLint* value) {
  if (name == GL_MAX_DEBUG_MESSAGE_LENGTH_ARB) {
    *value = maxLength; // a constant of the GL, which sizes the drain's largest buffer
  } else if (!honest) {
    *value = static_cast<GLint>(takeNumber());
  } else if (name == GL_DEBUG_LOGGED_MESSAGES_ARB) {
    *value = static_cast<GLint>(honestLog.size());
  } else if (name == GL_DEBUG_NEXT_LOGGED_MESSAGE_LENGTH_ARB) {
    *value = honestLog.empty() ? 0 : honestLog.front().length;
  }
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The drain's lines would flood the terminal; sanitizer reports go to file descriptor 2 still.
  stderr = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  if (data[0] % 2 == 0) {
    drainDebugLog(data + 1, size - 1);
  } else {
    checkMenu(data + 1, size - 1);
  }
  return 0;
}

#ifndef VELMOR_LIBFUZZER
// Without libFuzzer: -runs=N random inputs (default 200000) from a fixed seed, half of them
// drawn from the characters a menu choice is made of.
int main(int argc, char** argv) {
  unsigned long runs = 200000;
  for (int i = 1; i < argc; ++i) {
    std::sscanf(argv[i], "-runs=%lu", &runs);
  }
  LLVMFuzzerInitialize(&argc, &argv);
  std::mt19937 random(1);
  std::vector<uint8_t> input;
  for (unsigned long run = 0; run < runs; ++run) {
    input.resize(random() % 4200);
    const bool menuLike = random() % 2;
    for (uint8_t& byte : input) {
      byte = menuLike ? " \t\n1234x"[random() % 8] : static_cast<uint8_t>(random());
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%lu random inputs, no fault\n", runs);
  return 0;
}
#endif
