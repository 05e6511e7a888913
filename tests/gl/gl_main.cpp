// Opens the same window and 4.5 debug context as velmor, then runs the in-process tests on it.

#include "app/window.h"

#include <GL/glew.h>
#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static bool windowShown;

// freeglut's exit handler unloads the driver; kept mapped, the driver's frames keep their names in
// the leak report at exit, and the suppressions of tests/sanitizers/lsan.supp can match them.
extern "C" int dlclose(void*) {
  return 0;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // CTest lists the tests with no test environment; a listing needs no window.
  if (GTEST_FLAG_GET(list_tests)) {
    return RUN_ALL_TESTS();
  }
  // Mesa skips compiling a shader it finds in its cache, and with it the compiler's warnings.
  setenv("MESA_SHADER_CACHE_DISABLE", "true", 1);
  createWindow(&argc, argv);
  if (glewInit() != GLEW_OK) {
    std::fprintf(stderr, "glewInit failed\n");
    return 1;
  }
  // Tests draw through the program's own display; freeglut only needs a callback to exist, and
  // the window must be on screen before its front buffer holds anything.
  glutDisplayFunc([] {});
  glutWindowStatusFunc([](int state) { windowShown = state != GLUT_HIDDEN; });
  for (int i = 0; i < 500 && !windowShown; ++i) {
    glutMainLoopEvent();
    usleep(2000);
  }
  return RUN_ALL_TESTS();
}
