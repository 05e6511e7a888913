// Opens the same window and 4.5 debug context as velmor, then runs the in-process tests on it.

#include "app/startup.h"

#include <GL/glew.h>
#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  createWindow(&argc, argv);
  if (glewInit() != GLEW_OK) {
    std::fprintf(stderr, "glewInit failed\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
