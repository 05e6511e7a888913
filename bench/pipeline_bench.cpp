// What each mode costs on a real context: its set-up, every loader and builder on its own, and a
// frame drawn through its pipeline. scripts/bench runs this with the shader cache off, then on.

#include "app/startup.h"
#include "app/window.h"
#include "pipeline/pipeline.h"
#include "render/render.h"
#include "render/window_callbacks.h"

#include <GL/glew.h>

#include <GL/freeglut.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

using StageLoader = GLuint (*)(std::string path, GLenum type);
using ProgramBuilder = GLuint (*)(std::string vertPath, std::string fragPath);
using Release = void (*)(GLuint name);

// Benchmark names for the menu's entries; the menu's own table gives each its set-up.
struct Mode {
  const char* name;
  const char* entry;
};

const Mode modes[] = {
    {"glsl", "1"},
    {"glsl-sso", "2"},
    {"spirv", "3"},
    {"spirv-sso", "4"},
};

int savedOut = -1;
int savedErr = -1;

// The builders print "Linked" and their logs on every call; the console is not what we time.
void silenceConsole() {
  std::fflush(stdout);
  std::fflush(stderr);
  savedOut = dup(1);
  savedErr = dup(2);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  dup2(devNull, 2);
  close(devNull);
}

void restoreConsole() {
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
}

void deleteShader(GLuint shader) {
  glDeleteShader(shader);
}

void deleteProgram(GLuint program) {
  glDeleteProgram(program);
}

// Deletes what a set-up left current, so thousands of iterations do not fill the context.
void releaseSetup() {
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  glUseProgram(0);
  glDeleteProgram(static_cast<GLuint>(program));
  if (pipeline) {
    GLint fragment = 0;
    GLint vertex = 0;
    glGetProgramPipelineiv(pipeline, GL_FRAGMENT_SHADER, &fragment);
    glGetProgramPipelineiv(pipeline, GL_VERTEX_SHADER, &vertex);
    glBindProgramPipeline(0);
    glDeleteProgramPipelines(1, &pipeline);
    glDeleteProgram(static_cast<GLuint>(fragment));
    glDeleteProgram(static_cast<GLuint>(vertex));
    pipeline = 0;
  }
}

bool setupDrawable() {
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  return program != 0 || pipeline != 0;
}

void benchSetup(benchmark::State& state, Setup setup) {
  silenceConsole();
  for (auto _ : state) {
    setup();
    state.PauseTiming();
    releaseSetup();
    state.ResumeTiming();
  }
  restoreConsole();
}

// Set-up plus the first frame: llvmpipe compiles the fragment code for the blend state at the
// first draw, which is part of what a user waits for.
void benchSetupAndFrame(benchmark::State& state, Setup setup) {
  silenceConsole();
  for (auto _ : state) {
    setup();
    display();
    glFinish();
    state.PauseTiming();
    releaseSetup();
    state.ResumeTiming();
  }
  restoreConsole();
}

void benchStage(benchmark::State& state, StageLoader load, const char* path, GLenum type,
                Release release) {
  GLuint name = 0;
  silenceConsole();
  for (auto _ : state) {
    name = load(path, type);
    state.PauseTiming();
    release(name);
    state.ResumeTiming();
  }
  restoreConsole();
  if (!name) {
    state.SkipWithError("the GL refused the stage");
  }
}

void benchProgram(benchmark::State& state, ProgramBuilder build, const char* vertPath,
                  const char* fragPath) {
  GLuint program = 0;
  silenceConsole();
  for (auto _ : state) {
    program = build(vertPath, fragPath);
    state.PauseTiming();
    glDeleteProgram(program);
    state.ResumeTiming();
  }
  restoreConsole();
  if (!program) {
    state.SkipWithError("the GL refused the program");
  }
}

std::string readModule(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// What loadSpirvShader adds before the GL sees a module, on a validator already set up.
void benchValidate(benchmark::State& state, const char* path) {
  const std::string module = readModule(path);
  std::string verdict;
  for (auto _ : state) {
    benchmark::DoNotOptimize(validateSpirv(module, verdict));
  }
}

// The first validation in a process also sets up the validator's tables; main times it once,
// before anything else validates, and this reports that one time.
double firstValidationSeconds = 0;

void benchFirstValidation(benchmark::State& state) {
  for (auto _ : state) {
    state.SetIterationTime(firstValidationSeconds);
  }
}

// freeglut resizes on its next event pass, and reshape runs once the X server confirms.
bool resizeWindow(int width, int height) {
  glutReshapeWindow(width, height);
  for (int i = 0; i < 2000 && (windowWidth != width || windowHeight != height); ++i) {
    glutMainLoopEvent();
    usleep(500);
  }
  return windowWidth == width && windowHeight == height;
}

void benchFrame(benchmark::State& state, Setup setup, int width, int height) {
  silenceConsole();
  setup();
  restoreConsole();
  if (!setupDrawable() || !resizeWindow(width, height)) {
    state.SkipWithError("no pipeline or no resize");
    releaseSetup();
    return;
  }
  // The first draw compiles; frames after it are what the window costs to keep showing.
  display();
  glFinish();
  for (auto _ : state) {
    display();
    glFinish();
  }
  releaseSetup();
}

// GL work runs on the driver's threads too, so the wall clock is the one that counts.
template <class... Args> void add(const std::string& name, Args... args) {
  benchmark::RegisterBenchmark(name.c_str(), args...)->UseRealTime()->Unit(benchmark::kMillisecond);
}

void registerBenchmarks() {
  for (const Mode& mode : modes) {
    add("setup/" + std::string(mode.name), benchSetup, findSetup(mode.entry));
    add("setup_first_frame/" + std::string(mode.name), benchSetupAndFrame, findSetup(mode.entry));
  }
  for (const GLenum type : {GL_VERTEX_SHADER, GL_FRAGMENT_SHADER}) {
    const bool vert = type == GL_VERTEX_SHADER;
    const std::string stage = vert ? "/vert" : "/frag";
    const char* glsl = vert ? "shader.vert" : "shader.frag";
    const char* spirv = vert ? "vert.spv" : "frag.spv";
    add("stage/compileGlslShader" + stage, benchStage, compileGlslShader, glsl, type, deleteShader);
    add("stage/loadSpirvShader" + stage, benchStage, loadSpirvShader, spirv, type, deleteShader);
    add("stage/createSeparableGlslProgram" + stage, benchStage, createSeparableGlslProgram, glsl,
        type, deleteProgram);
    add("stage/createSeparableSpirvProgram" + stage, benchStage, createSeparableSpirvProgram, spirv,
        type, deleteProgram);
  }
  benchmark::RegisterBenchmark("stage/validateSpirv/vert, first in a process", benchFirstValidation)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  add("stage/validateSpirv/vert", benchValidate, "vert.spv");
  add("stage/validateSpirv/frag", benchValidate, "frag.spv");
  add("stage/createGlslProgram", benchProgram, createGlslProgram, "shader.vert", "shader.frag");
  add("stage/createSpirvProgram", benchProgram, createSpirvProgram, "vert.spv", "frag.spv");
  for (const auto& [width, height] : {std::pair{800, 600}, std::pair{1920, 1080}}) {
    for (const Mode& mode : modes) {
      add("frame/" + std::string(mode.name) + "/" + std::to_string(width) + "x" +
              std::to_string(height),
          benchFrame, findSetup(mode.entry), width, height);
    }
  }
}

// The program reads its shaders from the working folder: a private copy of the shipped ones.
std::filesystem::path enterShaderFolder() {
  std::string folder = (std::filesystem::temp_directory_path() / "velmor-bench-XXXXXX").string();
  if (!mkdtemp(folder.data())) {
    return {};
  }
  std::filesystem::copy(VELMOR_SHADER_DIR, folder);
  std::filesystem::current_path(folder);
  return folder;
}

std::string glString(GLenum name) {
  const GLubyte* text = glGetString(name);
  return text ? reinterpret_cast<const char*>(text) : "";
}

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  createWindow(&argc, argv);
  if (glewInit() != GLEW_OK) {
    std::fprintf(stderr, "glewInit failed\n");
    return 1;
  }
  // Resizing runs freeglut's event pass, which refuses a window without a display callback.
  glutDisplayFunc(display);
  glutReshapeFunc(reshape);
  const std::filesystem::path folder = enterShaderFolder();
  if (folder.empty()) {
    std::fprintf(stderr, "no temporary folder for the shaders\n");
    return 1;
  }
  benchmark::AddCustomContext("gl_version", glString(GL_VERSION));
  benchmark::AddCustomContext("gl_renderer", glString(GL_RENDERER));
  const char* cacheOff = std::getenv("MESA_SHADER_CACHE_DISABLE");
  benchmark::AddCustomContext("shader_cache",
                              cacheOff && std::string(cacheOff) == "true" ? "off" : "on");
  createScreenQuad();
  std::string verdict;
  const std::string vert = readModule("vert.spv");
  const auto start = std::chrono::steady_clock::now();
  validateSpirv(vert, verdict);
  firstValidationSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  registerBenchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(folder);
  return 0;
}
