// The floor for time to first frame: velmor's window and context, one cleared frame, nothing else.

#include "app/window.h"

#include <GL/glew.h>

#include <GL/freeglut.h>

#include <cstdio>

namespace {

void clearFrame() {
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glutSwapBuffers();
}

} // namespace

int main(int argc, char** argv) {
  createWindow(&argc, argv);
  if (glewInit() != GLEW_OK) {
    std::fprintf(stderr, "glewInit failed\n");
    return 1;
  }
  glutDisplayFunc(clearFrame);
  glutMainLoop();
  return 0;
}
