/* A reproducer of one file: builds a vertex + fragment pipeline from vert.spv and frag.spv (in
 * the current folder) on an OpenGL 4.5 core debug context, with the same GL calls in the same
 * order as Velmor, draws one frame into a framebuffer object and prints what the GL says.
 *
 * Build: cc -DMODE=4 -o reproduce reproduce.c -lEGL
 * Run:   ./reproduce            (needs only EGL and the GL: no X server, no window)
 *
 * -DMODE=3: one program linked from both stages, made current with glUseProgram.
 * -DMODE=4: one separable program per stage, fragment first, in a program pipeline.
 * Each step's debug messages are printed as they are drained; a fatal signal is named with the
 * phase it came in; "done" follows a frame drawn to the end. */
#if !defined(MODE) || (MODE != 3 && MODE != 4)
#error build with -DMODE=3 (linked program) or -DMODE=4 (program pipeline)
#endif
#define STRING(x) #x
#define TEXT(x) STRING(x)
#define MODE_TEXT TEXT(MODE)

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/glcorearb.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define WIDTH 800
#define HEIGHT 600

/* Every GL entry point comes from eglGetProcAddress: no GL library is linked. */
#define GL_FUNCTIONS(X)                                                                       \
  X(PFNGLGETSTRINGPROC, glGetString)                                                          \
  X(PFNGLGETINTEGERVPROC, glGetIntegerv)                                                      \
  X(PFNGLENABLEPROC, glEnable)                                                                \
  X(PFNGLGENFRAMEBUFFERSPROC, glGenFramebuffers)                                              \
  X(PFNGLBINDFRAMEBUFFERPROC, glBindFramebuffer)                                              \
  X(PFNGLGENRENDERBUFFERSPROC, glGenRenderbuffers)                                            \
  X(PFNGLBINDRENDERBUFFERPROC, glBindRenderbuffer)                                            \
  X(PFNGLRENDERBUFFERSTORAGEPROC, glRenderbufferStorage)                                      \
  X(PFNGLFRAMEBUFFERRENDERBUFFERPROC, glFramebufferRenderbuffer)                              \
  X(PFNGLCHECKFRAMEBUFFERSTATUSPROC, glCheckFramebufferStatus)                                \
  X(PFNGLVIEWPORTPROC, glViewport)                                                            \
  X(PFNGLGETDEBUGMESSAGELOGPROC, glGetDebugMessageLog)                                        \
  X(PFNGLCREATESHADERPROC, glCreateShader)                                                    \
  X(PFNGLDELETESHADERPROC, glDeleteShader)                                                    \
  X(PFNGLSHADERBINARYPROC, glShaderBinary)                                                    \
  X(PFNGLSPECIALIZESHADERARBPROC, glSpecializeShaderARB)                                      \
  X(PFNGLGETSHADERIVPROC, glGetShaderiv)                                                      \
  X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                                            \
  X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                                                  \
  X(PFNGLPROGRAMPARAMETERIPROC, glProgramParameteri)                                          \
  X(PFNGLATTACHSHADERPROC, glAttachShader)                                                    \
  X(PFNGLDETACHSHADERPROC, glDetachShader)                                                    \
  X(PFNGLLINKPROGRAMPROC, glLinkProgram)                                                      \
  X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                                                    \
  X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)                                          \
  X(PFNGLUSEPROGRAMPROC, glUseProgram)                                                        \
  X(PFNGLGENPROGRAMPIPELINESPROC, glGenProgramPipelines)                                      \
  X(PFNGLUSEPROGRAMSTAGESPROC, glUseProgramStages)                                            \
  X(PFNGLBINDPROGRAMPIPELINEPROC, glBindProgramPipeline)                                      \
  X(PFNGLGENVERTEXARRAYSPROC, glGenVertexArrays)                                              \
  X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                                              \
  X(PFNGLGENBUFFERSPROC, glGenBuffers)                                                        \
  X(PFNGLBINDBUFFERPROC, glBindBuffer)                                                        \
  X(PFNGLBUFFERDATAPROC, glBufferData)                                                        \
  X(PFNGLCLEARCOLORPROC, glClearColor)                                                        \
  X(PFNGLCLEARPROC, glClear)                                                                  \
  X(PFNGLBLENDEQUATIONPROC, glBlendEquation)                                                  \
  X(PFNGLBLENDFUNCPROC, glBlendFunc)                                                          \
  X(PFNGLVERTEXATTRIBPOINTERPROC, glVertexAttribPointer)                                      \
  X(PFNGLENABLEVERTEXATTRIBARRAYPROC, glEnableVertexAttribArray)                              \
  X(PFNGLDRAWARRAYSPROC, glDrawArrays)                                                        \
  X(PFNGLFINISHPROC, glFinish)                                                                \
  X(PFNGLREADPIXELSPROC, glReadPixels)

#define DECLARE(type, name) static type name;
GL_FUNCTIONS(DECLARE)

static int load_gl(void) {
#define LOAD(type, name)                                                                      \
  if (!(name = (type)eglGetProcAddress(#name))) {                                             \
    fprintf(stderr, "no entry point %s\n", #name);                                            \
    return 0;                                                                                 \
  }
  GL_FUNCTIONS(LOAD)
  return 1;
}

/* --- What happens, printed --- */

static const struct {
  int number;
  const char* name;
} fatal_signals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGILL, "SIGILL"}, {SIGFPE, "SIGFPE"}, {SIGABRT, "SIGABRT"},
    {SIGBUS, "SIGBUS"},
};
#define FATAL_COUNT (sizeof fatal_signals / sizeof fatal_signals[0])
static char fatal_lines[FATAL_COUNT][160];

static void on_fatal_signal(int number) {
  for (size_t i = 0; i < FATAL_COUNT; ++i) {
    if (fatal_signals[i].number == number) {
      ssize_t written = write(2, fatal_lines[i], strlen(fatal_lines[i]));
      (void)written;
    }
  }
  signal(number, SIG_DFL);
  raise(number);
}

/* From here on a crash is named with this phase, then ends the process as it would have.
 * (Under a debugger the debugger sees the signal first.) */
static void phase(const char* name) {
  for (size_t i = 0; i < FATAL_COUNT; ++i) {
    signal(fatal_signals[i].number, SIG_IGN);
    snprintf(fatal_lines[i], sizeof fatal_lines[i], "Fatal signal %s during %s\n",
             fatal_signals[i].name, name);
    signal(fatal_signals[i].number, on_fatal_signal);
  }
}

static const char* source_text(GLenum source) {
  switch (source) {
  case GL_DEBUG_SOURCE_API: return "OpenGL";
  case GL_DEBUG_SOURCE_WINDOW_SYSTEM: return "Windows";
  case GL_DEBUG_SOURCE_SHADER_COMPILER: return "Shader Compiler";
  case GL_DEBUG_SOURCE_THIRD_PARTY: return "Third Party";
  case GL_DEBUG_SOURCE_APPLICATION: return "Application";
  case GL_DEBUG_SOURCE_OTHER: return "Other";
  default: return "UNKNOW";
  }
}

static const char* type_text(GLenum type) {
  switch (type) {
  case GL_DEBUG_TYPE_ERROR: return "Error";
  case GL_DEBUG_TYPE_DEPRECATED_BEHAVIOR: return "Deprecated behavior";
  case GL_DEBUG_TYPE_UNDEFINED_BEHAVIOR: return "Undefined behavior";
  case GL_DEBUG_TYPE_PORTABILITY: return "Portability";
  case GL_DEBUG_TYPE_PERFORMANCE: return "Performance";
  case GL_DEBUG_TYPE_OTHER: return "Other";
  default: return "UNKNOW";
  }
}

static const char* severity_text(GLenum severity) {
  switch (severity) {
  case GL_DEBUG_SEVERITY_HIGH: return "High";
  case GL_DEBUG_SEVERITY_MEDIUM: return "Med";
  case GL_DEBUG_SEVERITY_LOW: return "Low";
  case GL_DEBUG_SEVERITY_NOTIFICATION: return "Notification";
  default: return "UNKNOW";
  }
}

/* Empties the GL's debug message log, one message at a time, on standard error. */
static void print_debug_log(void) {
  GLint longest = 0;
  glGetIntegerv(GL_MAX_DEBUG_MESSAGE_LENGTH, &longest);
  char* text = calloc((size_t)longest + 1, 1);
  GLenum source, type, severity;
  GLuint id;
  GLsizei length;
  while (text && glGetDebugMessageLog(1, longest, &source, &type, &id, &severity, &length, text)) {
    fprintf(stderr, "Source:%s\tType:%s\tID:%d\tSeverity:%s\tMessage:%s\n", source_text(source),
            type_text(type), (int)id, severity_text(severity), text);
  }
  free(text);
}

typedef void (*GetParameter)(GLuint, GLenum, GLint*);
typedef void (*GetLog)(GLuint, GLsizei, GLsizei*, GLchar*);

static void print_info_log(GLuint object, GetParameter get_parameter, GetLog get_log) {
  GLint length = 0;
  if (!object) {
    return;
  }
  get_parameter(object, GL_INFO_LOG_LENGTH, &length);
  if (length > 0) {
    char* log = calloc((size_t)length + 1, 1);
    get_log(object, length, NULL, log);
    fprintf(stderr, "%s\n", log);
    free(log);
  }
}

/* --- The context: EGL surfaceless, 4.5 core, debug, drawing into a framebuffer object --- */

static int make_context(void) {
  PFNEGLGETPLATFORMDISPLAYEXTPROC get_platform_display =
      (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
  if (!get_platform_display) {
    fprintf(stderr, "no eglGetPlatformDisplayEXT\n");
    return 0;
  }
  EGLDisplay display =
      get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
  if (display == EGL_NO_DISPLAY || !eglInitialize(display, NULL, NULL) ||
      !eglBindAPI(EGL_OPENGL_API)) {
    fprintf(stderr, "no EGL surfaceless display with OpenGL (0x%x)\n", eglGetError());
    return 0;
  }
  const EGLint attributes[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 5,
                               EGL_CONTEXT_OPENGL_PROFILE_MASK,
                               EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_CONTEXT_OPENGL_DEBUG,
                               EGL_TRUE, EGL_NONE};
  EGLContext context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
  if (context == EGL_NO_CONTEXT ||
      !eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
    fprintf(stderr, "no OpenGL 4.5 core debug context (0x%x)\n", eglGetError());
    return 0;
  }
  return 1;
}

/* Bound and checked before the set-up: a driver that validates the pipeline at bind time (as it
 * does for a window) only does so once the framebuffer is known to be complete. */
static int bind_framebuffer(void) {
  GLuint framebuffer = 0, colour = 0;
  glGenFramebuffers(1, &framebuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
  glGenRenderbuffers(1, &colour);
  glBindRenderbuffer(GL_RENDERBUFFER, colour);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, WIDTH, HEIGHT);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    fprintf(stderr, "the framebuffer object is not complete\n");
    return 0;
  }
  glViewport(0, 0, WIDTH, HEIGHT);
  return 1;
}

/* --- The pipeline --- */

static char* read_file(const char* path, long* size) {
  FILE* file = fopen(path, "rb");
  char* data = NULL;
  if (file && fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0 &&
      fseek(file, 0, SEEK_SET) == 0 && (data = malloc((size_t)*size + 1)) &&
      fread(data, 1, (size_t)*size, file) != (size_t)*size) {
    free(data);
    data = NULL;
  }
  if (file) {
    fclose(file);
  }
  if (!data) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(1);
  }
  return data;
}

/* A shader object made from a SPIR-V module and specialised at "main"; 0 when that failed. */
static GLuint load_spirv_shader(const char* path, GLenum type) {
  long size = 0;
  char* module = read_file(path, &size);
  GLuint shader = glCreateShader(type);
  glShaderBinary(1, &shader, GL_SHADER_BINARY_FORMAT_SPIR_V_ARB, module, (GLsizei)size);
  free(module);
  glSpecializeShaderARB(shader, "main", 0, NULL, NULL);
  GLint compiled = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &compiled);
  if (!compiled) {
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}

#if MODE == 3
static void set_up(void) {
  GLuint fragment = load_spirv_shader("frag.spv", GL_FRAGMENT_SHADER);
  GLuint vertex = fragment ? load_spirv_shader("vert.spv", GL_VERTEX_SHADER) : 0;
  GLuint program = 0;
  if (fragment && vertex) {
    program = glCreateProgram();
    glProgramParameteri(program, GL_PROGRAM_SEPARABLE, GL_TRUE);
    glAttachShader(program, fragment);
    glAttachShader(program, vertex);
    glLinkProgram(program);
    glDetachShader(program, fragment);
    glDetachShader(program, vertex);
    print_info_log(fragment, glGetShaderiv, glGetShaderInfoLog);
  }
  if (fragment) {
    glDeleteShader(fragment);
  }
  if (vertex) {
    glDeleteShader(vertex);
  }
  print_debug_log();
  print_info_log(program, glGetProgramiv, glGetProgramInfoLog);
  glUseProgram(program);
}
#elif MODE == 4
static GLuint separable_program(const char* path, GLenum type) {
  GLuint shader = load_spirv_shader(path, type);
  GLuint program = 0;
  if (shader) {
    program = glCreateProgram();
    glProgramParameteri(program, GL_PROGRAM_SEPARABLE, GL_TRUE);
    glAttachShader(program, shader);
    glLinkProgram(program);
    glDetachShader(program, shader);
    print_info_log(shader, glGetShaderiv, glGetShaderInfoLog);
    glDeleteShader(shader);
  }
  print_debug_log();
  print_info_log(program, glGetProgramiv, glGetProgramInfoLog);
  return program;
}

static void set_up(void) {
  GLuint fragment = separable_program("frag.spv", GL_FRAGMENT_SHADER);
  GLuint vertex = separable_program("vert.spv", GL_VERTEX_SHADER);
  GLuint pipeline = 0;
  glGenProgramPipelines(1, &pipeline);
  glUseProgramStages(pipeline, GL_FRAGMENT_SHADER_BIT, fragment);
  glUseProgramStages(pipeline, GL_VERTEX_SHADER_BIT, vertex);
  glBindProgramPipeline(pipeline);
}
#else
#error MODE is 3 (linked program) or 4 (program pipeline)
#endif

/* A full-window quad of two triangles; the position attribute is given at the draw. */
static void create_quad(void) {
  static const float corners[12] = {-1, -1, 1, -1, -1, 1, 1, -1, -1, 1, 1, 1};
  GLuint vertex_array = 0, buffer = 0;
  glGenVertexArrays(1, &vertex_array);
  glBindVertexArray(vertex_array);
  glGenBuffers(1, &buffer);
  glBindBuffer(GL_ARRAY_BUFFER, buffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof corners, corners, GL_STATIC_DRAW);
}

/* Dual-source blending: each pixel is the fragment's first colour times its second. */
static void draw(void) {
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glEnable(GL_BLEND);
  glBlendEquation(GL_FUNC_ADD);
  glBlendFunc(GL_SRC1_COLOR, GL_ZERO);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 2 * sizeof(float), NULL);
  glEnableVertexAttribArray(0);
  glDrawArrays(GL_TRIANGLES, 0, 6);
  glFinish();
}

int main(void) {
  setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
  if (!make_context() || !load_gl() || !bind_framebuffer()) {
    return 1;
  }
  GLint flags = 0;
  glGetIntegerv(GL_CONTEXT_FLAGS, &flags);
  printf("GL_VERSION %s\nGL_RENDERER %s\nGL_CONTEXT_FLAGS 0x%x\n",
         (const char*)glGetString(GL_VERSION), (const char*)glGetString(GL_RENDERER), flags);
  print_debug_log();

  phase("the set-up of mode " MODE_TEXT);
  set_up();
  phase("drawing");
  create_quad();
  print_debug_log();
  draw();
  print_debug_log();
  unsigned char pixel[4] = {0};
  glReadPixels(WIDTH / 2, HEIGHT / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
  printf("pixel at the centre: %u %u %u %u\n", pixel[0], pixel[1], pixel[2], pixel[3]);
  printf("done\n");
  return 0;
}
