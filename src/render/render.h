#pragma once
// The picture: one quad over the whole viewport and the window callbacks that draw it.

#include <GL/glew.h>

// The window's size as freeglut last reported it; 800 by 600 until the first reshape.
extern int windowWidth;
extern int windowHeight;

// Creates the quad's vertex array and buffer and leaves both bound for good.
void createScreenQuad();

void display();
void idle();
void reshape(int width, int height);
