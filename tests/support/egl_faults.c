/* Test-only LD_PRELOAD library: an EGL that lacks what velmor-headless needs, on demand.
 *
 * VELMOR_EGL_HIDE=name     the client extension `name` is left out of EGL's list, as an EGL
 *                          without that platform answers.
 * VELMOR_EGL_NO_OPENGL=1   eglBindAPI refuses the OpenGL API, as an EGL for OpenGL ES only does.
 */
#define _GNU_SOURCE
#include <EGL/egl.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

const char* eglQueryString(EGLDisplay display, EGLint name) {
  static const char* (*real_query)(EGLDisplay, EGLint);
  static char kept[8192];
  if (!real_query) {
    real_query = (const char* (*)(EGLDisplay, EGLint))dlsym(RTLD_NEXT, "eglQueryString");
  }
  const char* answer = real_query(display, name);
  const char* hidden = getenv("VELMOR_EGL_HIDE");
  if (!answer || !hidden || display != EGL_NO_DISPLAY || name != EGL_EXTENSIONS) {
    return answer;
  }
  /* The list again, word by word, without the hidden one. */
  char copy[sizeof kept];
  strncpy(copy, answer, sizeof copy - 1);
  copy[sizeof copy - 1] = '\0';
  kept[0] = '\0';
  for (char* word = strtok(copy, " "); word; word = strtok(NULL, " ")) {
    if (strcmp(word, hidden) != 0 && strlen(kept) + strlen(word) + 2 < sizeof kept) {
      strcat(strcat(kept, kept[0] ? " " : ""), word);
    }
  }
  return kept;
}

EGLBoolean eglBindAPI(EGLenum api) {
  static EGLBoolean (*real_bind)(EGLenum);
  if (!real_bind) {
    real_bind = (EGLBoolean(*)(EGLenum))dlsym(RTLD_NEXT, "eglBindAPI");
  }
  const char* refuse = getenv("VELMOR_EGL_NO_OPENGL");
  /* OpenVG, which Mesa does not offer: the real one refuses it and sets its own error. */
  return real_bind(refuse && strcmp(refuse, "1") == 0 && api == EGL_OPENGL_API ? EGL_OPENVG_API
                                                                               : api);
}
