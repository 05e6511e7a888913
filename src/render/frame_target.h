#pragma once
// Where velmor-headless draws, having no window: a framebuffer object of the window's size.

#include <GL/glew.h>

// A windowWidth x windowHeight GL_RGBA8 framebuffer object, bound for drawing and reading, with
// its completeness checked. Returns what glCheckFramebufferStatus answered; anything but
// GL_FRAMEBUFFER_COMPLETE leaves nothing behind and the default framebuffer bound.
GLenum createFrameTarget();
