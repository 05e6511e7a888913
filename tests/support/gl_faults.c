/* Test-only LD_PRELOAD library: driver failures on demand, for the end-to-end tests.
 *
 * VELMOR_NULL_GL_STRING=1   glGetString answers NULL, however it is looked up, so glewInit fails.
 * VELMOR_FAULT_IN=name      the GL entry point `name` raises SIGSEGV when called, as a driver that
 *                           crashes inside it would; glGetString and glDrawArrays, which velmor
 *                           links directly, and every entry point looked up through GLX.
 */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

static int flag_set(const char* name) {
  const char* value = getenv(name);
  return value && strcmp(value, "1") == 0;
}

static int faults_in(const char* entry_point) {
  const char* name = getenv("VELMOR_FAULT_IN");
  return name && strcmp(name, entry_point) == 0;
}

static void crash(void) {
  raise(SIGSEGV);
}

const GLubyte* glGetString(GLenum name) {
  static const GLubyte* (*real_get_string)(GLenum);
  if (faults_in("glGetString")) {
    crash();
  }
  if (flag_set("VELMOR_NULL_GL_STRING")) {
    return NULL;
  }
  if (!real_get_string) {
    real_get_string = (const GLubyte* (*)(GLenum))dlsym(RTLD_NEXT, "glGetString");
  }
  return real_get_string(name);
}

void glDrawArrays(GLenum mode, GLint first, GLsizei count) {
  static void (*real_draw_arrays)(GLenum, GLint, GLsizei);
  if (faults_in("glDrawArrays")) {
    crash();
  }
  if (!real_draw_arrays) {
    real_draw_arrays = (void (*)(GLenum, GLint, GLsizei))dlsym(RTLD_NEXT, "glDrawArrays");
  }
  real_draw_arrays(mode, first, count);
}

typedef void (*proc_t)(void);

static proc_t lookup(const char* real_name, const GLubyte* name) {
  if (faults_in((const char*)name)) {
    return crash;
  }
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
