#pragma once
// The picture, the same in both programs: one quad over the whole viewport and the frame that
// draws it. velmor shows it in its window (window_callbacks.h), velmor-headless in a
// framebuffer object (frame_target.h).

#include <GL/glew.h>

// The window's size as freeglut last reported it; 800 by 600 until the first reshape. Without a
// window, the size of the frame drawn off screen.
extern int windowWidth;
extern int windowHeight;

// Creates the quad's vertex array and buffer and leaves both bound for good.
void createScreenQuad();

// One frame into the bound draw framebuffer: clear, dual-source blend state, the quad.
void drawFrame();
