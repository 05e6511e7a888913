#include "render/window_callbacks.h"

#include "render/render.h"

#include <GL/freeglut.h>

void display() {
  drawFrame();
  glutSwapBuffers();
}

// Installed, as start-up sets all three callbacks, and empty: the picture never changes, so
// freeglut draws a frame only when the window is exposed or resized.
void idle() {}

void reshape(int width, int height) {
  windowWidth = width;
  windowHeight = height;
  glViewport(0, 0, windowWidth, windowHeight);
}
