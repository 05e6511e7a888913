#include "pipeline/pipeline.h"

#include "diagnostics/diagnostics.h"

#include <cstdio>

namespace {

using StageLoader = GLuint (*)(std::string path, GLenum type);

GLuint createLinkedProgram(const std::string& vertPath, const std::string& fragPath,
                           StageLoader loadStage) {
  GLuint program = 0;
  // Fragment first: when it fails the vertex file is never opened.
  const GLuint fragmentShader = loadStage(fragPath, GL_FRAGMENT_SHADER);
  if (!fragmentShader) {
    return 0;
  }
  const GLuint vertexShader = loadStage(vertPath, GL_VERTEX_SHADER);
  if (!vertexShader) {
    glDeleteShader(fragmentShader);
    return 0;
  }
  program = glCreateProgram();
  if (program) {
    // Separable like the stage programs of the pipeline modes: the same files are then held to
    // the same interface rules in all four modes, so a difference between modes is the driver's.
    glProgramParameteri(program, GL_PROGRAM_SEPARABLE, GL_TRUE);
    glAttachShader(program, fragmentShader);
    glAttachShader(program, vertexShader);
    glLinkProgram(program);
    glDetachShader(program, fragmentShader);
    glDetachShader(program, vertexShader);
    // The link status is never asked: the GL's verdict is whatever the logs below say.
    std::printf("Linked\n");
    printShaderInfoLog(fragmentShader);
  }
  glDeleteShader(fragmentShader);
  glDeleteShader(vertexShader);
  printDebugLog();
  printProgramInfoLog(program);
  return program;
}

} // namespace

GLuint createGlslProgram(std::string vertPath, std::string fragPath) {
  return createLinkedProgram(vertPath, fragPath, compileGlslShader);
}

GLuint createSpirvProgram(std::string vertPath, std::string fragPath) {
  return createLinkedProgram(vertPath, fragPath, loadSpirvShader);
}

void setupGlsl() {
  const std::string vert_stringGL = "shader.vert";
  const std::string frag_stringGL = "shader.frag";
  // Unchecked: a program that failed to link is refused here, and the drain that follows says so.
  glUseProgram(createGlslProgram(vert_stringGL, frag_stringGL));
}

void setupSpirv() {
  const std::string vert_string = "vert.spv";
  const std::string frag_string = "frag.spv";
  glUseProgram(createSpirvProgram(vert_string, frag_string));
}
