#include "gl_support.h"

#include "diagnostics/diagnostics.h"

namespace {

// Catches a wrong text, or a missing fallback, in any of the three message tables.
TEST(DebugTexts, EveryValueAndTheFallback) {
  const struct {
    const char* (*lookup)(GLenum);
    GLenum value;
    const char* text;
  } cases[] = {
      {debugSourceText, GL_DEBUG_SOURCE_API_ARB, "OpenGL"},
      {debugSourceText, GL_DEBUG_SOURCE_WINDOW_SYSTEM_ARB, "Windows"},
      {debugSourceText, GL_DEBUG_SOURCE_SHADER_COMPILER_ARB, "Shader Compiler"},
      {debugSourceText, GL_DEBUG_SOURCE_THIRD_PARTY_ARB, "Third Party"},
      {debugSourceText, GL_DEBUG_SOURCE_APPLICATION_ARB, "Application"},
      {debugSourceText, GL_DEBUG_SOURCE_OTHER_ARB, "Other"},
      {debugSourceText, GL_DEBUG_TYPE_ERROR_ARB, "UNKNOW"},
      {debugTypeText, GL_DEBUG_TYPE_ERROR_ARB, "Error"},
      {debugTypeText, GL_DEBUG_TYPE_DEPRECATED_BEHAVIOR_ARB, "Deprecated behavior"},
      {debugTypeText, GL_DEBUG_TYPE_UNDEFINED_BEHAVIOR_ARB, "Undefined behavior"},
      {debugTypeText, GL_DEBUG_TYPE_PORTABILITY_ARB, "Portability"},
      {debugTypeText, GL_DEBUG_TYPE_PERFORMANCE_ARB, "Performance"},
      {debugTypeText, GL_DEBUG_TYPE_OTHER_ARB, "Other"},
      {debugTypeText, GL_DEBUG_TYPE_MARKER, "UNKNOW"},
      {debugSeverityText, GL_DEBUG_SEVERITY_HIGH_ARB, "High"},
      {debugSeverityText, GL_DEBUG_SEVERITY_MEDIUM_ARB, "Med"},
      {debugSeverityText, GL_DEBUG_SEVERITY_LOW_ARB, "Low"},
      {debugSeverityText, GL_DEBUG_SEVERITY_NOTIFICATION, "Notification"},
      {debugSeverityText, 0, "UNKNOW"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.lookup(c.value), c.text) << std::hex << c.value;
  }
}

// Catches truncated texts, an unsigned ID, or a reordered line.
TEST(DebugMessage, PrintsOneExactLine) {
  Transcript t = capture([] {
    printDebugMessage(GL_DEBUG_SOURCE_SHADER_COMPILER_ARB, GL_DEBUG_TYPE_DEPRECATED_BEHAVIOR_ARB, 7,
                      GL_DEBUG_SEVERITY_NOTIFICATION, "longest");
    printDebugMessage(GL_DEBUG_SOURCE_API_ARB, GL_DEBUG_TYPE_ERROR_ARB, 0xFFFFFFFFu, 0x1234,
                      "ends in a newline\n");
    printDebugMessage(GL_DEBUG_SOURCE_APPLICATION_ARB, GL_DEBUG_TYPE_OTHER_ARB, 2147483648u,
                      GL_DEBUG_SEVERITY_HIGH_ARB, "");
  });
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(t.err,
            "Source:Shader Compiler\tType:Deprecated behavior\tID:7\tSeverity:Notification"
            "\tMessage:longest\n"
            "Source:OpenGL\tType:Error\tID:-1\tSeverity:UNKNOW\tMessage:ends in a newline\n\n"
            "Source:Application\tType:Other\tID:-2147483648\tSeverity:High\tMessage:\n");
}

class DebugLog : public GlTest {};

void insertMessage(GLuint id, const std::string& text) {
  glDebugMessageInsertARB(GL_DEBUG_SOURCE_APPLICATION_ARB, GL_DEBUG_TYPE_OTHER_ARB, id,
                          GL_DEBUG_SEVERITY_HIGH_ARB, -1, text.c_str());
}

std::string applicationLine(GLuint id, const std::string& text) {
  return "Source:Application\tType:Other\tID:" + std::to_string(id) +
         "\tSeverity:High\tMessage:" + text + "\n";
}

// Catches a drain that loses, reorders or repeats messages, or prints on an empty log.
TEST_F(DebugLog, DrainsQueuedMessagesInOrderOnce) {
  EXPECT_EQ(capture(printDebugLog).err, "");
  insertMessage(1, "first");
  insertMessage(2, "second");
  glBindBuffer(0x1234, 0);
  const Transcript t = capture(printDebugLog);
  const std::vector<std::string> lines = splitLines(t.err);
  ASSERT_EQ(lines.size(), 3u) << t.err;
  EXPECT_EQ(lines[0] + "\n", applicationLine(1, "first"));
  EXPECT_EQ(lines[1] + "\n", applicationLine(2, "second"));
  EXPECT_EQ(lines[2].rfind("Source:OpenGL\tType:Error\tID:", 0), 0u) << lines[2];
  EXPECT_NE(lines[2].find("GL_INVALID_ENUM in glBindBuffer"), std::string::npos) << lines[2];
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(capture(printDebugLog).err, "");
}

// Catches a drain that leaves messages in the log: more text than one fetch holds, and a message
// longer than the whole buffer (which the GL never hands out in part), come out in one drain,
// whole and in order, as many as the GL keeps.
TEST_F(DebugLog, EmptiesTheLogWhateverTheMessagesLengths) {
  GLint kept = 0;
  glGetIntegerv(GL_MAX_DEBUG_LOGGED_MESSAGES_ARB, &kept);
  std::string expected;
  for (GLuint id = 1; id <= static_cast<GLuint>(kept); ++id) {
    const std::string text(id == 2 ? 3000 : 900, static_cast<char>('a' + id % 26));
    insertMessage(id, text);
    expected += applicationLine(id, text);
  }
  EXPECT_EQ(capture(printDebugLog).err, expected);
  GLint waiting = -1;
  glGetIntegerv(GL_DEBUG_LOGGED_MESSAGES_ARB, &waiting);
  EXPECT_EQ(waiting, 0);
}

// What the fake fetch below reports.
GLuint fakeCount;
GLsizei fakeLength;

GLuint GLAPIENTRY fakeFetch(GLuint count, GLsizei bufSize, GLenum* sources, GLenum* types,
                            GLuint* ids, GLenum* severities, GLsizei* lengths, GLchar* text) {
  for (GLuint i = 0; i < count; ++i) {
    sources[i] = GL_DEBUG_SOURCE_THIRD_PARTY_ARB;
    types[i] = GL_DEBUG_TYPE_PERFORMANCE_ARB;
    ids[i] = i;
    severities[i] = GL_DEBUG_SEVERITY_LOW_ARB;
    lengths[i] = fakeLength;
  }
  // Texts of 31 characters each, every one ending in a NUL, over the whole buffer.
  for (GLsizei i = 0; i < bufSize; ++i) {
    text[i] = i % 32 == 31 ? '\0' : static_cast<GLchar>('A' + i / 32 % 26);
  }
  return fakeCount;
}

// Catches a walk that trusts the GL's count or lengths beyond the drain's own arrays.
TEST_F(DebugLog, NeverWalksPastItsArrays) {
  const PFNGLGETDEBUGMESSAGELOGARBPROC realFetch = glGetDebugMessageLogARB;
  glGetDebugMessageLogARB = fakeFetch;
  const struct {
    GLuint count;
    GLsizei length;
    size_t lines;
  } cases[] = {
      {70, 32, 64},        // more messages than the drain asked for
      {64, 32, 64},        // 64 texts of 32 characters fill the 2048 exactly
      {64, 4096, 1},       // a length beyond the buffer ends the walk
      {5, -3, 1},          // so does a negative one
      {0xFFFFFFFF, 1, 64}, // an absurd count
  };
  for (const auto& c : cases) {
    fakeCount = c.count;
    fakeLength = c.length;
    const Transcript t = capture(printDebugLog);
    const std::vector<std::string> lines = splitLines(t.err);
    EXPECT_EQ(lines.size(), c.lines) << c.count << " messages of length " << c.length;
    EXPECT_EQ(lines.at(0), "Source:Third Party\tType:Performance\tID:0\tSeverity:Low\tMessage:" +
                               std::string(31, 'A'));
  }
  glGetDebugMessageLogARB = nullptr;
  EXPECT_EQ(capture(printDebugLog).err, "") << "an absent entry point must not be called";
  glGetDebugMessageLogARB = realFetch;
}

class InfoLog : public GlTest {};

// Catches a report that prints an empty log, or hides a log because the build succeeded.
TEST_F(InfoLog, PrintsExactlyWhatTheGlHolds) {
  const GLuint fresh = glCreateShader(GL_FRAGMENT_SHADER);
  EXPECT_EQ(capture([&] { printShaderInfoLog(fresh); }).err, "");
  glDeleteShader(fresh);

  const GLuint warned = glCreateShader(GL_FRAGMENT_SHADER);
  std::string source = constantFragment("1", "1");
  source.insert(source.find('\n') + 1, "#extension GL_VELMOR_nothing : warn\n");
  const char* text = source.c_str();
  glShaderSource(warned, 1, &text, nullptr);
  glCompileShader(warned);
  GLint compiled = 0;
  glGetShaderiv(warned, GL_COMPILE_STATUS, &compiled);
  EXPECT_EQ(compiled, GL_TRUE);
  const std::string log = capture([&] { printShaderInfoLog(warned); }).err;
  EXPECT_NE(log.find("GL_VELMOR_nothing"), std::string::npos) << log;
  EXPECT_EQ(log.back(), '\n');
  glDeleteShader(warned);

  // Name 0 is no object: nothing is printed, and the GL is not asked (it would log an error).
  discardDebugLog();
  EXPECT_EQ(capture([] {
              printProgramInfoLog(0);
              printShaderInfoLog(0);
              printDebugLog();
            }).err,
            "");
}

GLint fakeLogLength;

void GLAPIENTRY fakeProgramiv(GLuint, GLenum, GLint* value) {
  *value = fakeLogLength;
}

void GLAPIENTRY fakeProgramLog(GLuint, GLsizei size, GLsizei*, GLchar* log) {
  if (size > 0) {
    log[0] = '\0';
  }
}

// Catches a report that skips a log of just its NUL, or reads an unwritten buffer.
TEST_F(InfoLog, LengthOneIsOneEmptyLine) {
  const PFNGLGETPROGRAMIVPROC realiv = glGetProgramiv;
  const PFNGLGETPROGRAMINFOLOGPROC realLog = glGetProgramInfoLog;
  glGetProgramiv = fakeProgramiv;
  glGetProgramInfoLog = fakeProgramLog;
  fakeLogLength = 1;
  const std::string one = capture([] { printProgramInfoLog(1); }).err;
  fakeLogLength = -5;
  const std::string negative = capture([] { printProgramInfoLog(1); }).err;
  glGetProgramiv = realiv;
  glGetProgramInfoLog = realLog;
  EXPECT_EQ(one, "\n");
  EXPECT_EQ(negative, "");
}

} // namespace
