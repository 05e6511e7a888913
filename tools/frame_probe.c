/* The frame probe, an LD_PRELOAD library: observes velmor (or any freeglut program) from outside.
 *
 * VELMOR_FRAME_DIR=dir  each presented frame is saved, before the swap, as dir/frame-N.pam
 *                       (N from 1, RGBA, top row first), written whole and then renamed into place;
 *                       at the first frame, dir/window holds the X id of the window presented, in
 *                       decimal, and dir/gl the GL_VERSION, GL_RENDERER, GL_VENDOR and
 *                       GL_SHADING_LANGUAGE_VERSION strings and GL_CONTEXT_FLAGS (hex), one a
 *                       line.
 *
 * Always: SIGTERM closes the presented window the way a window manager's close button does, so
 * velmor leaves through freeglut's own exit (coverage data is written and sanitizers check for
 * leaks); before any frame, or on a second SIGTERM, the process ends at once with status 143.
 * dlclose keeps libraries mapped, so that leak reports at exit can name the driver's frames.
 */
#define _GNU_SOURCE
#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { max_frames = 1000 };
static int frames_saved;
static _Atomic unsigned long presented_window;

/* Writes dir/name whole, then renames it into place: a reader never sees half a file. */
static void save_text(const char* dir, const char* name, const char* text) {
  char path[4096], part[4200];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  snprintf(part, sizeof part, "%s.part", path);
  FILE* file = fopen(part, "w");
  if (file) {
    fputs(text, file);
    if (fclose(file) == 0) {
      rename(part, path);
    }
  }
}

static const char* gl_string(GLenum name) {
  const GLubyte* text = glGetString(name);
  return text ? (const char*)text : "";
}

/* The context's identity, as a report names the driver it ran on. */
static void save_first_frame_facts(GLXDrawable drawable, const char* dir) {
  char text[4096];
  GLint flags = 0;
  glGetIntegerv(GL_CONTEXT_FLAGS, &flags);
  snprintf(text, sizeof text, "%s\n%s\n%s\n%s\n%#x\n", gl_string(GL_VERSION),
           gl_string(GL_RENDERER), gl_string(GL_VENDOR), gl_string(GL_SHADING_LANGUAGE_VERSION),
           (unsigned)flags);
  save_text(dir, "gl", text);
  snprintf(text, sizeof text, "%lu\n", (unsigned long)drawable);
  save_text(dir, "window", text);
}

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
  /* Known before any frame is on disk: whoever sees a frame may stop the process. */
  atomic_store(&presented_window, (unsigned long)drawable);
  const char* dir = getenv("VELMOR_FRAME_DIR");
  if (dir && frames_saved < max_frames) {
    if (frames_saved == 0) {
      save_first_frame_facts(drawable, dir);
    }
    save_frame(dpy, drawable, dir);
  }
  real_swap(dpy, drawable);
}

/* Sends WM_DELETE_WINDOW on a connection of our own; freeglut's default action then exits. */
static int close_window(Window window) {
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) {
    return 0;
  }
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  const Status sent = XSendEvent(dpy, window, False, NoEventMask, &event);
  XCloseDisplay(dpy);
  return sent != 0;
}

/* SIGTERM is blocked in every thread but this one, so the close runs outside any signal handler
 * and may allocate and talk to the X server while the main loop goes on. */
static void* stop_on_sigterm(void* signals) {
  int signal_number = 0;
  sigwait(signals, &signal_number);
  const unsigned long window = atomic_load(&presented_window);
  if (window && close_window((Window)window)) {
    sigwait(signals, &signal_number);
  }
  _exit(128 + SIGTERM);
}

__attribute__((constructor)) static void start_stop_watcher(void) {
  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  /* Threads created later (the driver's) inherit the mask. */
  pthread_sigmask(SIG_BLOCK, &signals, NULL);
  pthread_t watcher;
  if (pthread_create(&watcher, NULL, stop_on_sigterm, &signals) == 0) {
    pthread_detach(watcher);
  } else {
    pthread_sigmask(SIG_UNBLOCK, &signals, NULL);
  }
}

int dlclose(void* handle) {
  (void)handle;
  return 0;
}
