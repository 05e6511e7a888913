#include "pipeline/pipeline.h"

#include "diagnostics/diagnostics.h"

#include <cstdio>

namespace {

// Opens the file, then creates the shader object, then reads the file: a shader is made only
// for a file that opened, and a file is read only once there is a shader to give it to.
GLuint createShaderForFile(const std::string& path, GLenum type, std::string& bin) {
  std::ifstream shaderFile;
  if (!openShaderFile(path, shaderFile)) {
    return 0;
  }
  const GLuint shader = glCreateShader(type);
  if (!shader) {
    return 0;
  }
  if (!readWholeFile(shaderFile, bin)) {
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}

bool hasCompiled(GLuint shader) {
  GLint compiled = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
  return compiled != 0;
}

} // namespace

GLuint compileGlslShader(std::string path, GLenum type) {
  std::string bin;
  GLuint shader = createShaderForFile(path, type, bin);
  if (shader) {
    // The explicit length lets a NUL inside the file, or a missing final newline, through as is.
    const GLchar* text = bin.data();
    const auto size = static_cast<GLint>(bin.size());
    glShaderSource(shader, 1, &text, &size);
    glCompileShader(shader);
    if (!hasCompiled(shader)) {
      // The info log is the one verdict every driver gives (Mesa's preprocessor errors reach
      // no other): it must be read before the shader goes.
      printShaderInfoLog(shader);
      glDeleteShader(shader);
      shader = 0;
    }
  }
  if (!shader) {
    std::fprintf(stderr, "Failed to open file\n");
  }
  return shader;
}

GLuint loadSpirvShader(std::string path, GLenum type) {
  std::string bin;
  const GLuint shader = createShaderForFile(path, type, bin);
  if (!shader) {
    return 0;
  }
  // The GL expects a module already validated: what it does with any other bytes is undefined,
  // and some drivers crash. The validator's verdict is the one to show for those.
  std::string verdict;
  if (!validateSpirv(bin, verdict)) {
    glDeleteShader(shader);
    std::fprintf(stderr, "%s is not valid SPIR-V: %s\n", path.c_str(), verdict.c_str());
    return 0;
  }
  glShaderBinary(1, &shader, GL_SHADER_BINARY_FORMAT_SPIR_V_ARB, bin.data(),
                 static_cast<GLsizei>(bin.size()));
  // Specialization is where a valid module meant for another stage, or without "main", is refused.
  glSpecializeShaderARB(shader, "main", 0, nullptr, nullptr);
  if (!hasCompiled(shader)) {
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}
