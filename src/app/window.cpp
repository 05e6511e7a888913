#include "app/window.h"

#include "render/render.h"

#include <GL/freeglut.h>

void createWindow(int* argc, char** argv) {
  glutInit(argc, argv);
  glutInitContextVersion(4, 5);
  glutInitContextFlags(GLUT_DEBUG);
  glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_ALPHA | GLUT_DEPTH);
  glutInitWindowSize(windowWidth, windowHeight);
  glutCreateWindow("Velmor");
}
