#include "gl_support.h"

#include "diagnostics/diagnostics.h"
#include "pipeline/pipeline.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

namespace fs = std::filesystem;

// Allocation failure on demand: any single allocation of at least this many bytes throws.
static size_t failAllocationsFrom = 0;

// The replacements pair malloc with free, which the compiler cannot see through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  if (failAllocationsFrom && size >= failAllocationsFrom) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) {
    return p;
  }
  throw std::bad_alloc();
}
// LLVM allocates with the nothrow form, and frees through the delete below: the two must pair.
// Failures are injected only into the program's own (throwing) allocations.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop

namespace {

// Every shader object the code under test creates, and every source text it hands GL.
std::vector<GLuint> createdShaders;
std::vector<std::string> sourcesGiven;
PFNGLCREATESHADERPROC realCreateShader;
PFNGLSHADERSOURCEPROC realShaderSource;
bool refuseShaders;

GLuint GLAPIENTRY recordingCreateShader(GLenum type) {
  const GLuint shader = refuseShaders ? 0 : realCreateShader(type);
  createdShaders.push_back(shader);
  return shader;
}

void GLAPIENTRY recordingShaderSource(GLuint shader, GLsizei count, const GLchar* const* strings,
                                      const GLint* lengths) {
  for (GLsizei i = 0; i < count; ++i) {
    sourcesGiven.emplace_back(strings[i], lengths ? size_t(lengths[i]) : std::strlen(strings[i]));
  }
  realShaderSource(shader, count, strings, lengths);
}

class Pipeline : public GlTest {
protected:
  void SetUp() override {
    GlTest::SetUp();
    createdShaders.clear();
    sourcesGiven.clear();
    refuseShaders = false;
    realCreateShader = glCreateShader;
    realShaderSource = glShaderSource;
    glCreateShader = recordingCreateShader;
    glShaderSource = recordingShaderSource;
  }
  void TearDown() override {
    glCreateShader = realCreateShader;
    glShaderSource = realShaderSource;
    failAllocationsFrom = 0;
    GlTest::TearDown();
  }
};

GLint programParameter(GLuint program, GLenum name) {
  GLint value = -1;
  glGetProgramiv(program, name, &value);
  return value;
}

GLint integer(GLenum name) {
  GLint value = -1;
  glGetIntegerv(name, &value);
  return value;
}

bool anyShaderLeft() {
  for (GLuint shader : createdShaders) {
    if (shader && glIsShader(shader)) {
      return true;
    }
  }
  return false;
}

// Files of every kind a user may leave where a shader file should be.
enum Kind {
  Missing,
  Directory,
  Empty,
  Shipped,
  ValidNoNewline,
  NulInside,
  SyntaxError,
  Garbage,
  OtherKind,
  WrongStage,
  TooLarge,
  ShortRead,
  OutOfMemory
};

const char* const goodFragment = "#version 450 core\n"
                                 "layout(location = 0, index = 0) out vec4 color;\n"
                                 "layout(location = 0, index = 1) out vec4 factor;\n"
                                 "void main() { color = vec4(1); factor = vec4(1); }";

// Puts a file of the given kind at path (a fragment stage), and returns the path to load.
std::string makeFile(Kind kind, bool spirv) {
  const std::string name = spirv ? "frag.spv" : "shader.frag";
  switch (kind) {
  case Missing:
    break;
  case Directory:
    fs::create_directory(name);
    break;
  case Empty:
    writeFile(name, "");
    break;
  case Shipped:
    copyShippedShaders();
    break;
  case ValidNoNewline:
    writeFile(name, goodFragment);
    break;
  case NulInside:
    writeFile(name, std::string(goodFragment) + "\n" + std::string(1, '\0') + "garbage }}}");
    break;
  case SyntaxError:
    writeFile(name, "#version 450 core\nvoid main() { this is not GLSL }\n");
    break;
  case Garbage:
    writeFile(name, std::string("\x03\x02\x23\x07garbage\xff\xfe", 13) + std::string(64, '\x11'));
    break;
  case OtherKind:
    copyShippedShaders();
    fs::copy_file(spirv ? "shader.frag" : "frag.spv", name + ".other");
    fs::rename(name + ".other", name);
    break;
  case WrongStage:
    copyShippedShaders();
    fs::copy_file(spirv ? "vert.spv" : "shader.vert", name, fs::copy_options::overwrite_existing);
    break;
  case TooLarge:
    writeFile(name, "");
    fs::resize_file(name, (size_t(1) << 31) + 16);
    break;
  case ShortRead:
    // sysfs reports 4096 bytes for files that read as a few.
    return "/sys/devices/system/cpu/online";
  case OutOfMemory:
    writeFile(name, "");
    fs::resize_file(name, 4 << 20);
    failAllocationsFrom = 4 << 20;
    break;
  }
  return name;
}

struct LoaderCase {
  Kind kind;
  bool builds;
  const char* spirvVerdict; // the validator's reason, when the file is not a valid module
};

// Catches a loader that keeps a bad stage, leaves a shader object behind, reads a file it should
// not, prints the wrong line, or hands GL bytes it never read.
TEST_F(Pipeline, StageLoadersAcceptOnlyCompilingFiles) {
  const char* const notWords = "file size should be a multiple of 4";
  const LoaderCase cases[] = {
      {Missing, false, nullptr},
      {Directory, false, nullptr},
      {Empty, false, "Invalid SPIR-V magic number."},
      {Shipped, true, nullptr},
      {ValidNoNewline, true, nullptr},
      {NulInside, true, nullptr},
      {SyntaxError, false, nullptr},
      {Garbage, false, notWords},
      {OtherKind, false, notWords},
      {WrongStage, false, nullptr}, // a valid module, refused by specialization
      {TooLarge, false, nullptr},
      {ShortRead, false, nullptr},
      {OutOfMemory, false, nullptr},
  };
  for (bool spirv : {false, true}) {
    for (const LoaderCase& c : cases) {
      // GLSL has no stage marker to get wrong; SPIR-V has no text to break.
      const bool glslOnly =
          c.kind == ValidNoNewline || c.kind == NulInside || c.kind == SyntaxError;
      if ((glslOnly && spirv) || (c.kind == WrongStage && !spirv)) {
        continue;
      }
      SCOPED_TRACE(std::string(spirv ? "SPIR-V" : "GLSL") + " kind " + std::to_string(c.kind));
      createdShaders.clear();
      sourcesGiven.clear();
      const std::string path = makeFile(c.kind, spirv);
      if (c.kind == ShortRead && !fs::exists(path)) {
        continue;
      }
      GLuint shader = 0;
      const Transcript t = capture([&] {
        shader = spirv ? loadSpirvShader(path, GL_FRAGMENT_SHADER)
                       : compileGlslShader(path, GL_FRAGMENT_SHADER);
      });
      failAllocationsFrom = 0;
      EXPECT_EQ(shader != 0, c.builds);
      EXPECT_EQ(t.out, "");
      // A shader object exists only for a file that opened, and only as long as it is wanted.
      const bool opens = c.kind != Missing && c.kind != Directory;
      const bool compiles = opens && !sourcesGiven.empty();
      if (spirv) {
        EXPECT_EQ(t.err, c.spirvVerdict
                             ? "frag.spv is not valid SPIR-V: " + std::string(c.spirvVerdict) + "\n"
                             : "");
      } else if (!c.builds) {
        // A failed compile shows the GL's reason (the shader's info log) before the line.
        const std::string line = "Failed to open file\n";
        ASSERT_GE(t.err.size(), line.size());
        EXPECT_EQ(t.err.substr(t.err.size() - line.size()), line);
        EXPECT_EQ(t.err.size() > line.size(), compiles) << t.err;
      } else {
        EXPECT_EQ(t.err, "");
      }
      EXPECT_EQ(createdShaders.size(), opens ? 1u : 0u);
      EXPECT_FALSE(!c.builds && anyShaderLeft());
      if (!spirv && (c.kind == ValidNoNewline || c.kind == NulInside)) {
        EXPECT_EQ(sourcesGiven, std::vector<std::string>{readFile(path)});
      }
      if (c.kind == TooLarge || c.kind == ShortRead || c.kind == OutOfMemory) {
        EXPECT_TRUE(sourcesGiven.empty()) << "GL was handed bytes that were never read";
      }
      if (shader) {
        glDeleteShader(shader);
      }
      fs::remove_all("shader.frag");
      fs::remove_all("frag.spv");
      discardDebugLog();
    }
  }
}

// Catches a validator set up for another target than OpenGL (the shipped modules must pass) and a
// verdict that spans lines on the console (the validator puts the instruction on a line of its
// own).
TEST(SpirvValidation, ShippedModulesPassAndVerdictsFitOneLine) {
  std::string verdict;
  for (const char* name : {"/vert.spv", "/frag.spv"}) {
    EXPECT_TRUE(validateSpirv(readFile(std::string(VELMOR_SHADER_DIR) + name), verdict)) << verdict;
  }
  // The value of the first OpStore (opcode 62) becomes the entry block's label, which has no type.
  std::string module = readFile(std::string(VELMOR_SHADER_DIR) + "/frag.spv");
  std::vector<uint32_t> words(module.size() / 4);
  std::memcpy(words.data(), module.data(), module.size());
  size_t i = 5;
  while ((words[i] & 0xFFFF) != 62) {
    i += words[i] >> 16;
  }
  const uint32_t label = words[i - 1];
  words[i + 2] = label;
  std::memcpy(&module[0], words.data(), module.size());
  EXPECT_FALSE(validateSpirv(module, verdict));
  const std::string id = std::to_string(label);
  EXPECT_EQ(verdict, "Operand '" + id + "[%" + id + "]' requires a type OpStore %color %" + id);
}

// Catches a failed GLSL compile that ends with only "Failed to open file": each kind of error
// Mesa reports, the preprocessor's included (those reach the info log and no debug message).
TEST_F(Pipeline, FailedCompilePrintsTheReasonBeforeItsLine) {
  const struct {
    const char* source;
    const char* reason;
  } cases[] = {
      {"#version 450 core\n#if \xe9\n#endif\n", "preprocessor error: syntax error"},
      {"#version 450 core\n#error velmor stops here\n", "#error velmor stops here"},
      {"#version 450 core\n#if 1\nvoid main() {}\n", "Unterminated #if"},
      {"#version 450 core\n#include \"common.glsl\"\n", "\"common.glsl\" not found"},
      {"#version 450 core\n#define GL_velmor 1\n", "reserved"},
      {"#define F(a) a\n#version 450 core\n", "#version must appear on the first line"},
      {"#version 450 core\n#define F(a) a\nint x = F(1, 2);\n", "invoked with 2 arguments"},
      {"#version 450 core\nvoid main() { undeclared = 1; }\n", "undeclared"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    writeFile("shader.frag", c.source);
    GLuint shader = 1;
    const Transcript t =
        capture([&] { shader = compileGlslShader("shader.frag", GL_FRAGMENT_SHADER); });
    EXPECT_EQ(shader, 0u);
    const size_t reason = t.err.find(c.reason);
    EXPECT_NE(reason, std::string::npos) << t.err;
    EXPECT_EQ(t.err.find("Failed to open file\n"), t.err.size() - 20) << t.err;
    EXPECT_FALSE(anyShaderLeft());
    discardDebugLog();
  }
}

// Catches a loader that reads the file or prints differently when the GL refuses a shader object.
TEST_F(Pipeline, StageLoadersSurviveARefusedShaderObject) {
  copyShippedShaders();
  refuseShaders = true;
  GLuint glsl = 1, spirv = 1;
  const Transcript t = capture([&] {
    glsl = compileGlslShader("shader.frag", GL_FRAGMENT_SHADER);
    spirv = loadSpirvShader("frag.spv", GL_FRAGMENT_SHADER);
  });
  EXPECT_EQ(glsl, 0u);
  EXPECT_EQ(spirv, 0u);
  EXPECT_EQ(t.err, "Failed to open file\n");
  EXPECT_TRUE(sourcesGiven.empty());
}

using ModeSetup = void (*)();

// Catches a linked mode that fails to build, print or install the shipped pipeline.
TEST_F(Pipeline, LinkedModesInstallTheShippedProgram) {
  for (ModeSetup setup : {setupGlsl, setupSpirv}) {
    copyShippedShaders();
    const Transcript t = capture(setup);
    EXPECT_EQ(t.out, "Linked\n");
    EXPECT_EQ(t.err, "");
    const GLuint program = GLuint(integer(GL_CURRENT_PROGRAM));
    ASSERT_NE(program, 0u);
    EXPECT_EQ(programParameter(program, GL_LINK_STATUS), GL_TRUE);
    EXPECT_EQ(programParameter(program, GL_PROGRAM_SEPARABLE), GL_TRUE);
    EXPECT_EQ(programParameter(program, GL_ATTACHED_SHADERS), 0) << "shaders left attached";
    EXPECT_FALSE(anyShaderLeft());
    EXPECT_EQ(capture(discardDebugLog).err, "");
    glUseProgram(0);
  }
}

// Catches a builder that loads the vertex stage first, goes on after a failed stage, or leaks one.
TEST_F(Pipeline, LinkedBuildersStopAtTheFirstMissingStage) {
  const struct {
    ModeSetup setup;
    const char* missing;
    size_t shadersCreated;
    const char* err;
  } cases[] = {
      {setupGlsl, "shader.frag", 0, "Failed to open file\n"},
      {setupGlsl, "shader.vert", 1, "Failed to open file\n"},
      {setupSpirv, "frag.spv", 0, ""},
      {setupSpirv, "vert.spv", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing);
    copyShippedShaders();
    fs::remove(c.missing);
    createdShaders.clear();
    const Transcript t = capture(c.setup);
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.err, c.err);
    EXPECT_EQ(createdShaders.size(), c.shadersCreated);
    EXPECT_FALSE(anyShaderLeft());
    EXPECT_EQ(integer(GL_CURRENT_PROGRAM), 0);
  }
}

// Catches a builder that hides a failed link, or prints a vertex log or the logs out of order.
TEST_F(Pipeline, LinkFailureIsReportedNotHidden) {
  writeFile("shader.vert",
            std::string(passThroughVertex).insert(18, "#extension GL_VELMOR_vertex : warn\n"));
  // Compiles, but has no main to link.
  writeFile("shader.frag", "#version 450 core\n#extension GL_VELMOR_fragment : warn\n"
                           "layout(location = 0) out vec4 color;\n");
  const Transcript t = capture(setupGlsl);
  EXPECT_EQ(t.out, "Linked\n");
  const size_t fragmentWarning = t.err.find("GL_VELMOR_fragment");
  const size_t linkError = t.err.find("main", fragmentWarning);
  const size_t refusal = t.err.find("GL_INVALID_OPERATION in glUseProgram");
  EXPECT_NE(fragmentWarning, std::string::npos) << t.err;
  EXPECT_NE(linkError, std::string::npos) << t.err;
  EXPECT_EQ(refusal, std::string::npos) << "drained before glUseProgram ran: " << t.err;
  // The vertex shader's log is never reported; the GL's debug log may repeat its warning.
  for (const std::string& line : splitLines(t.err)) {
    if (line.find("GL_VELMOR_vertex") != std::string::npos) {
      EXPECT_EQ(line.rfind("Source:Shader Compiler\t", 0), 0u) << line;
    }
  }
  EXPECT_EQ(integer(GL_CURRENT_PROGRAM), 0);
  // The GL's refusal of the unlinked program waits for the next drain.
  EXPECT_NE(capture(printDebugLog).err.find("GL_INVALID_OPERATION in glUseProgram"),
            std::string::npos);
}

GLuint GLAPIENTRY refuseProgram() {
  return 0;
}

// Catches a builder that links without a program, or leaks its shaders when none is made.
TEST_F(Pipeline, BuildersSurviveARefusedProgram) {
  copyShippedShaders();
  const PFNGLCREATEPROGRAMPROC realCreateProgram = glCreateProgram;
  glCreateProgram = refuseProgram;
  GLuint linked = 1, spirvStage = 1;
  glDebugMessageInsertARB(GL_DEBUG_SOURCE_APPLICATION_ARB, GL_DEBUG_TYPE_OTHER_ARB, 9,
                          GL_DEBUG_SEVERITY_HIGH_ARB, -1, "queued");
  const Transcript t = capture([&] {
    linked = createGlslProgram("shader.vert", "shader.frag");
    spirvStage = createSeparableSpirvProgram("frag.spv", GL_FRAGMENT_SHADER);
  });
  glCreateProgram = realCreateProgram;
  EXPECT_EQ(linked, 0u);
  EXPECT_EQ(spirvStage, 0u);
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(t.err.find("Source:Application\tType:Other\tID:9\tSeverity:High\tMessage:queued\n"), 0u)
      << t.err;
  EXPECT_EQ(createdShaders.size(), 3u);
  EXPECT_FALSE(anyShaderLeft());
}

struct StageCase {
  Kind kind;
  bool spirv;
  bool linked;     // "Linked" printed and a program returned
  bool linkStatus; // what the GL thinks of that program
};

// Catches a separable builder that checks what it should only report, drains when it must not,
// or hands GL text that does not end where the file's bytes do.
TEST_F(Pipeline, SeparableBuildersReportEveryOutcome) {
  const StageCase cases[] = {
      {Shipped, false, true, true},       {Shipped, true, true, true},
      {Missing, false, false, false},     {Directory, false, false, false},
      {TooLarge, false, false, false},    {ShortRead, false, false, false},
      {OutOfMemory, false, false, false}, {Empty, false, true, false},
      {SyntaxError, false, true, false},  {NulInside, false, true, true},
      {Missing, true, false, false},      {Garbage, true, false, false},
      {OtherKind, true, false, false},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(std::string(c.spirv ? "SPIR-V" : "GLSL") + " kind " + std::to_string(c.kind));
    const std::string path = makeFile(c.kind, c.spirv);
    if (c.kind == ShortRead && !fs::exists(path)) {
      continue;
    }
    // A message already waiting tells whether the builder drained.
    glDebugMessageInsertARB(GL_DEBUG_SOURCE_APPLICATION_ARB, GL_DEBUG_TYPE_OTHER_ARB, 1,
                            GL_DEBUG_SEVERITY_HIGH_ARB, -1, "waiting");
    GLuint program = 0;
    const Transcript t = capture([&] {
      program = c.spirv ? createSeparableSpirvProgram(path, GL_FRAGMENT_SHADER)
                        : createSeparableGlslProgram(path, GL_FRAGMENT_SHADER);
    });
    failAllocationsFrom = 0;
    EXPECT_EQ(t.out, c.linked ? "Linked\n" : "");
    EXPECT_EQ(program != 0, c.linked);
    // The GLSL builder fails before its drain; the SPIR-V builder drains on every path.
    const bool drained = c.linked || c.spirv;
    const std::string refused = c.spirv && (c.kind == Garbage || c.kind == OtherKind)
                                    ? "frag.spv is not valid SPIR-V: file size should be a "
                                      "multiple of 4\n"
                                    : "";
    EXPECT_EQ(t.err.find("Source:Application\tType:Other\tID:1\tSeverity:High\tMessage:waiting\n"),
              drained ? refused.size() : std::string::npos)
        << t.err;
    EXPECT_EQ(t.err.rfind(refused, 0), 0u) << t.err;
    if (!drained) {
      EXPECT_EQ(t.err, "Failed to open file\n");
    }
    if (c.kind == SyntaxError) {
      const size_t drainedError = t.err.find("Source:Shader Compiler");
      EXPECT_NE(drainedError, std::string::npos) << t.err;
      EXPECT_NE(t.err.find("\n0:2", drainedError), std::string::npos) << "no program log" << t.err;
    }
    if (program) {
      EXPECT_EQ(programParameter(program, GL_LINK_STATUS), c.linkStatus ? GL_TRUE : GL_FALSE);
      if (c.linkStatus) {
        EXPECT_EQ(programParameter(program, GL_PROGRAM_SEPARABLE), GL_TRUE);
      } else {
        EXPECT_NE(t.err.find("error"), std::string::npos) << "no program log: " << t.err;
      }
    }
    EXPECT_FALSE(anyShaderLeft());
    fs::remove_all("shader.frag");
    fs::remove_all("frag.spv");
    discardDebugLog();
  }
}

// Catches a builder that caches: every call makes a new program.
TEST_F(Pipeline, EachSeparableBuildIsANewProgram) {
  copyShippedShaders();
  capture([] {
    EXPECT_NE(createSeparableGlslProgram("shader.vert", GL_VERTEX_SHADER),
              createSeparableGlslProgram("shader.vert", GL_VERTEX_SHADER));
    EXPECT_NE(createSeparableSpirvProgram("vert.spv", GL_VERTEX_SHADER),
              createSeparableSpirvProgram("vert.spv", GL_VERTEX_SHADER));
  });
}

GLuint stageProgram(GLenum stage) {
  GLint program = -1;
  glGetProgramPipelineiv(pipeline, stage, &program);
  return GLuint(program);
}

// Catches a pipeline mode that makes a program current, binds nothing, or fills the wrong stage.
TEST_F(Pipeline, PipelineModesBindWhateverTheStagesGave) {
  const struct {
    ModeSetup setup;
    const char* missing;
    const char* out;
    const char* err;
    bool fragment;
    bool vertex;
  } cases[] = {
      {setupGlslSso, nullptr, "Linked\nLinked\n", "", true, true},
      {setupSpirvSso, nullptr, "Linked\nLinked\n", "", true, true},
      {setupGlslSso, "shader.frag", "Linked\n", "Failed to open file\n", false, true},
      // Nothing at all: no program, so no log to ask the GL about (and no error of our making).
      {setupSpirvSso, "frag.spv", "Linked\n", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing ? c.missing : "all files");
    copyShippedShaders();
    if (c.missing) {
      fs::remove(c.missing);
    }
    const Transcript t = capture(c.setup);
    EXPECT_EQ(t.out, c.out);
    EXPECT_EQ(withoutIds(t.err), c.err);
    EXPECT_EQ(integer(GL_CURRENT_PROGRAM), 0);
    EXPECT_NE(pipeline, 0u);
    EXPECT_EQ(GLuint(integer(GL_PROGRAM_PIPELINE_BINDING)), pipeline);
    const GLuint fragment = stageProgram(GL_FRAGMENT_SHADER);
    const GLuint vertex = stageProgram(GL_VERTEX_SHADER);
    EXPECT_EQ(fragment != 0, c.fragment);
    EXPECT_EQ(vertex != 0, c.vertex);
    EXPECT_NE(fragment, vertex);
    glBindProgramPipeline(0);
    discardDebugLog();
  }
}

// Catches a pipeline mode that gives up when no stage could be built.
TEST_F(Pipeline, SpirvPipelineWithNoFilesIsStillBound) {
  const Transcript t = capture(setupSpirvSso);
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(GLuint(integer(GL_PROGRAM_PIPELINE_BINDING)), pipeline);
  EXPECT_EQ(stageProgram(GL_FRAGMENT_SHADER), 0u);
  EXPECT_EQ(stageProgram(GL_VERTEX_SHADER), 0u);
}

// Catches a pipeline mode that drops the GL's refusal of a stage that did not link.
TEST_F(Pipeline, UnlinkedStageIsRefusedByTheGl) {
  copyShippedShaders();
  writeFile("shader.frag", "#version 450 core\nvoid main() { broken }\n");
  const Transcript t = capture(setupGlslSso);
  EXPECT_EQ(t.out, "Linked\nLinked\n");
  EXPECT_EQ(stageProgram(GL_FRAGMENT_SHADER), 0u);
  EXPECT_NE(capture(printDebugLog).err.find("GL_INVALID_OPERATION in glUseProgramStages"),
            std::string::npos);
}

} // namespace
