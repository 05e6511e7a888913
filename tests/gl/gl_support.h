#pragma once
// Shared by the in-process tests: output capture, a scratch folder per test, shader texts.

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

struct Transcript {
  std::string out;
  std::string err;
};

// Runs fn with standard output and error pointed at files and returns what it printed.
Transcript capture(const std::function<void()>& fn);

// Each test runs in a fresh empty working folder, with the debug log empty and nothing bound.
class GlTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  std::string dir;

private:
  std::string previousDir;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
// Copies the shipped shader files into the working folder.
void copyShippedShaders();
// Throws away whatever waits in the debug message log.
void discardDebugLog();

// GLSL texts for tests: a pass-through vertex stage and a fragment stage with two constant outputs.
extern const char* const passThroughVertex;
std::string constantFragment(const char* color, const char* factor);

// RGBA bytes of the whole window as display left them for the last buffer swap, bottom row first.
std::vector<unsigned char> presentedFrame();
// Fails the test at the first pixel further than tolerance steps of 1/255 from expected.
void expectEveryPixel(const std::vector<unsigned char>& pixels, const std::vector<int>& expected,
                      int tolerance = 1);

std::vector<std::string> splitLines(const std::string& text);
// The text with every "ID:<number>" of a debug line turned into "ID:#": IDs are the driver's own.
std::string withoutIds(const std::string& text);
