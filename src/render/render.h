#pragma once
// The picture: one quad over the whole viewport, the frame that draws it, and the window
// callbacks that show it.

#include <GL/glew.h>

// The window's size as freeglut last reported it; 800 by 600 until the first reshape. Without a
// window, the size of the frame drawn off screen.
extern int windowWidth;
extern int windowHeight;

// Creates the quad's vertex array and buffer and leaves both bound for good.
void createScreenQuad();

// One frame into the bound draw framebuffer: clear, dual-source blend state, the quad.
void drawFrame();

// freeglut's callbacks (velmor's window only).
void display();
void idle();
void reshape(int width, int height);

// A windowWidth x windowHeight GL_RGBA8 framebuffer object, bound for drawing and reading, with
// its completeness checked. Returns what glCheckFramebufferStatus answered; anything but
// GL_FRAMEBUFFER_COMPLETE leaves nothing behind and the default framebuffer bound.
GLenum createFrameTarget();
