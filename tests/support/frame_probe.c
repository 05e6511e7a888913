/* Test-only LD_PRELOAD library: observes velmor from outside the program.
 *
 * VELMOR_FRAME_DIR=dir  each presented frame is saved, before the swap, as dir/frame-N.pam
 *                       (N from 1, RGBA, top row first), written whole and then renamed into place.
 * VELMOR_NULL_GL_STRING=1  glGetString answers NULL, however it is looked up, so glewInit fails.
 */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { max_frames = 1000 };
static int frames_saved;

static void save_frame(Display* dpy, GLXDrawable drawable, const char* dir) {
  unsigned int width = 0, height = 0;
  glXQueryDrawable(dpy, drawable, GLX_WIDTH, &width);
  glXQueryDrawable(dpy, drawable, GLX_HEIGHT, &height);
  size_t row = (size_t)width * 4;
  unsigned char* pixels = malloc(row * height + 1);
  if (!pixels) {
    return;
  }
  GLint read_buffer = 0, pack_alignment = 0;
  glGetIntegerv(GL_READ_BUFFER, &read_buffer);
  glGetIntegerv(GL_PACK_ALIGNMENT, &pack_alignment);
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, (GLsizei)width, (GLsizei)height, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
  glPixelStorei(GL_PACK_ALIGNMENT, pack_alignment);
  glReadBuffer((GLenum)read_buffer);

  char path[4096], part[4200];
  ++frames_saved;
  snprintf(path, sizeof path, "%s/frame-%d.pam", dir, frames_saved);
  snprintf(part, sizeof part, "%s.part", path);
  FILE* file = fopen(part, "wb");
  if (file) {
    fprintf(file, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n",
            width, height);
    for (unsigned int y = height; y > 0; --y) {
      fwrite(pixels + (size_t)(y - 1) * row, 1, row, file);
    }
    if (fclose(file) == 0) {
      rename(part, path);
    }
  }
  free(pixels);
}

void glXSwapBuffers(Display* dpy, GLXDrawable drawable) {
  static void (*real_swap)(Display*, GLXDrawable);
  if (!real_swap) {
    real_swap = (void (*)(Display*, GLXDrawable))dlsym(RTLD_NEXT, "glXSwapBuffers");
  }
  const char* dir = getenv("VELMOR_FRAME_DIR");
  if (dir && frames_saved < max_frames) {
    save_frame(dpy, drawable, dir);
  }
  real_swap(dpy, drawable);
}

static int null_gl_string(void) {
  const char* flag = getenv("VELMOR_NULL_GL_STRING");
  return flag && strcmp(flag, "1") == 0;
}

const GLubyte* glGetString(GLenum name) {
  static const GLubyte* (*real_get_string)(GLenum);
  if (null_gl_string()) {
    return NULL;
  }
  if (!real_get_string) {
    real_get_string = (const GLubyte* (*)(GLenum))dlsym(RTLD_NEXT, "glGetString");
  }
  return real_get_string(name);
}

typedef void (*proc_t)(void);

static proc_t lookup(const char* real_name, const GLubyte* name) {
  if (strcmp((const char*)name, "glGetString") == 0) {
    return (proc_t)glGetString;
  }
  proc_t (*real)(const GLubyte*) = (proc_t(*)(const GLubyte*))dlsym(RTLD_NEXT, real_name);
  return real ? real(name) : NULL;
}

proc_t glXGetProcAddressARB(const GLubyte* name) {
  return lookup("glXGetProcAddressARB", name);
}

proc_t glXGetProcAddress(const GLubyte* name) {
  return lookup("glXGetProcAddress", name);
}
