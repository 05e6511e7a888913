/* Test-only LD_PRELOAD library: driver failures on demand, for the end-to-end tests.
 *
 * VELMOR_NULL_GL_STRING=1   glGetString answers NULL, however it is looked up, so glewInit fails.
 * VELMOR_FAULT_IN=name      the GL entry point `name` raises SIGSEGV when called, as a driver that
 *                           crashes inside it would; glGetString and glDrawArrays, which velmor
 *                           links directly, and every entry point looked up through GLX.
 * VELMOR_SLEEP_IN=name      the same entry points never return, as a driver that hangs in them.
 * VELMOR_ZERO_IN=name       the entry point `name`, looked up through GLX, does nothing and answers
 *                           0, as a driver that refuses the call does (glCheckFramebufferStatus:
 *                           a framebuffer never complete).
 * VELMOR_CRASH_AT_EXIT=prog SIGSEGV at the exit of the program named prog (velmor, not the tool
 *                           that starts it), as a driver that crashes while the window closes.
 * VELMOR_NO_ENTRY_POINT=name
 *                           GLX looks the entry point `name` up as missing, as a driver without
 *                           it does.
 */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <GL/glx.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef void (*proc_t)(void);

static int flag_set(const char* name) {
  const char* value = getenv(name);
  return value && strcmp(value, "1") == 0;
}

static int names(const char* variable, const char* entry_point) {
  const char* name = getenv(variable);
  return name && strcmp(name, entry_point) == 0;
}

static void crash(void) {
  raise(SIGSEGV);
}

static void hang(void) {
  for (;;) {
    pause();
  }
}

/* Called with the arguments of whatever entry point it stands for; the ABI lets it ignore them. */
static GLenum zero(void) {
  return 0;
}

/* Returns the stand-in for entry_point when a fault is asked of it, else NULL. */
static proc_t fault_for(const char* entry_point) {
  if (names("VELMOR_FAULT_IN", entry_point)) {
    return crash;
  }
  return names("VELMOR_SLEEP_IN", entry_point) ? hang : NULL;
}

__attribute__((constructor)) static void arm_crash_at_exit(void) {
  const char* program = getenv("VELMOR_CRASH_AT_EXIT");
  if (program && strcmp(program, program_invocation_short_name) == 0) {
    atexit(crash);
  }
}

const GLubyte* glGetString(GLenum name) {
  static const GLubyte* (*real_get_string)(GLenum);
  if (fault_for("glGetString")) {
    fault_for("glGetString")();
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
  if (fault_for("glDrawArrays")) {
    fault_for("glDrawArrays")();
  }
  if (!real_draw_arrays) {
    real_draw_arrays = (void (*)(GLenum, GLint, GLsizei))dlsym(RTLD_NEXT, "glDrawArrays");
  }
  real_draw_arrays(mode, first, count);
}

static proc_t lookup(const char* real_name, const GLubyte* name) {
  if (fault_for((const char*)name)) {
    return fault_for((const char*)name);
  }
  if (names("VELMOR_NO_ENTRY_POINT", (const char*)name)) {
    return NULL;
  }
  if (names("VELMOR_ZERO_IN", (const char*)name)) {
    return (proc_t)zero;
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
