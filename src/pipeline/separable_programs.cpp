#include "pipeline/pipeline.h"

#include "diagnostics/diagnostics.h"

#include <cstdio>

GLuint createSeparableGlslProgram(std::string path, GLenum stage) {
  std::ifstream shaderFile;
  std::string bin;
  if (!openShaderFile(path, shaderFile) || !readWholeFile(shaderFile, bin)) {
    std::fprintf(stderr, "Failed to open file\n");
    return 0;
  }
  // glCreateShaderProgramv takes no lengths: the text ends at the NUL that bin always carries.
  const GLchar* text = bin.c_str();
  const GLuint program = glCreateShaderProgramv(stage, 1, &text);
  std::printf("Linked\n");
  printDebugLog();
  printProgramInfoLog(program);
  return program;
}

GLuint createSeparableSpirvProgram(std::string path, GLenum stage) {
  GLuint program = 0;
  const GLuint shader = loadSpirvShader(path, stage);
  if (shader) {
    program = glCreateProgram();
    if (program) {
      glProgramParameteri(program, GL_PROGRAM_SEPARABLE, GL_TRUE);
      glAttachShader(program, shader);
      glLinkProgram(program);
      glDetachShader(program, shader);
      std::printf("Linked\n");
      printShaderInfoLog(shader);
    }
    glDeleteShader(shader);
  }
  // Drained on every path: a refused module shows up only in the debug log.
  printDebugLog();
  printProgramInfoLog(program);
  return program;
}
