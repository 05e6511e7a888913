#include "gl_support.h"

#include <GL/freeglut.h>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int redirect(int fd, const std::string& path) {
  const int saved = dup(fd);
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(file, fd);
  close(file);
  return saved;
}

void restore(int fd, int saved) {
  dup2(saved, fd);
  close(saved);
}

} // namespace

Transcript capture(const std::function<void()>& fn) {
  const fs::path base = fs::temp_directory_path() / ("velmor-capture-" + std::to_string(getpid()));
  std::fflush(stdout);
  std::fflush(stderr);
  const int savedOut = redirect(1, base.string() + ".out");
  const int savedErr = redirect(2, base.string() + ".err");
  fn();
  std::fflush(stdout);
  std::fflush(stderr);
  restore(1, savedOut);
  restore(2, savedErr);
  Transcript t{readFile(base.string() + ".out"), readFile(base.string() + ".err")};
  fs::remove(base.string() + ".out");
  fs::remove(base.string() + ".err");
  return t;
}

void GlTest::SetUp() {
  previousDir = fs::current_path().string();
  char pattern[] = "/tmp/velmor-test-XXXXXX";
  dir = mkdtemp(pattern);
  fs::current_path(dir);
  discardDebugLog();
}

void GlTest::TearDown() {
  glUseProgram(0);
  glBindProgramPipeline(0);
  fs::current_path(previousDir);
  std::error_code ignored;
  fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(dir, ignored);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void copyShippedShaders() {
  for (const char* name : {"shader.vert", "shader.frag", "vert.spv", "frag.spv"}) {
    fs::copy_file(fs::path(VELMOR_SHADER_DIR) / name, name, fs::copy_options::overwrite_existing);
  }
}

void discardDebugLog() {
  while (glGetDebugMessageLogARB(64, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) > 0) {
  }
}

const char* const passThroughVertex = R"(#version 450 core
layout(location = 0) in vec2 position;
out gl_PerVertex { vec4 gl_Position; };
void main() { gl_Position = vec4(position, 0.0, 1.0); }
)";

std::string constantFragment(const char* color, const char* factor) {
  return std::string("#version 450 core\n"
                     "layout(location = 0, index = 0) out vec4 color;\n"
                     "layout(location = 0, index = 1) out vec4 factor;\n"
                     "void main() { color = vec4(") +
         color + "); factor = vec4(" + factor + "); }\n";
}

static std::vector<unsigned char> lastFrame;

// Stands in for freeglut's swap in this test binary: keeps the frame display drew, then swaps.
extern "C" void glutSwapBuffers() {
  const int width = glutGet(GLUT_WINDOW_WIDTH);
  const int height = glutGet(GLUT_WINDOW_HEIGHT);
  lastFrame.assign(static_cast<size_t>(width) * height * 4, 0);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, lastFrame.data());
  static const auto realSwap = reinterpret_cast<void (*)()>(dlsym(RTLD_NEXT, "glutSwapBuffers"));
  realSwap();
}

std::vector<unsigned char> presentedFrame() {
  return lastFrame;
}

void expectEveryPixel(const std::vector<unsigned char>& pixels, const std::vector<int>& expected,
                      int tolerance) {
  const int width = glutGet(GLUT_WINDOW_WIDTH);
  ASSERT_FALSE(pixels.empty()) << "no frame was presented";
  for (size_t i = 0; i < pixels.size() / 4; ++i) {
    for (int c = 0; c < 4; ++c) {
      if (std::abs(pixels[i * 4 + c] - expected[c]) > tolerance) {
        ADD_FAILURE() << "pixel (" << i % width << ", " << i / width << ") channel " << c << " is "
                      << int(pixels[i * 4 + c]) << ", expected " << expected[c];
        return;
      }
    }
  }
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string withoutIds(const std::string& text) {
  return std::regex_replace(text, std::regex("\tID:-?[0-9]+\t"), "\tID:#\t");
}
