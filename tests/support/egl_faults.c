/* Test-only LD_PRELOAD library: an EGL that lacks what velmor-headless needs, or that has a GPU
 * it does not have, on demand.
 *
 * VELMOR_EGL_HIDE="a b"     the extensions named (space-separated) are left out of EGL's client
 *                           list and of every display's, as an EGL without them answers.
 * VELMOR_EGL_NO_OPENGL=1    eglBindAPI refuses the OpenGL API, as an EGL for OpenGL ES only does.
 * VELMOR_EGL_FAIL=name[:error]
 *                           the EGL call `name` fails, and eglGetError then answers `error` (hex,
 *                           EGL_BAD_ALLOC by default): eglInitialize, eglChooseConfig,
 *                           eglMakeCurrent, eglGetPlatformDisplayEXT; eglQueryDevicesEXT fails
 *                           when it counts, eglQueryDevicesEXT/list when it lists. A name that
 *                           eglGetProcAddress serves ends with "!" to be missing from it instead.
 * VELMOR_EGL_HARDWARE=driver
 *                           a hardware device follows Mesa's devices: it lists EGL_EXT_device_drm
 *                           with render node /dev/dri/renderD128 and EGL_EXT_device_persistent_id
 *                           with the driver name `driver`. Its display on the device platform is
 *                           Mesa's surfaceless display, so its context is real and draws.
 * Always: dlclose keeps libraries mapped. eglTerminate on a failure path unloads Mesa's driver,
 * and a leak report at exit could not name the driver's frames for tests/sanitizers/lsan.supp.
 */
#define _GNU_SOURCE
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

typedef __eglMustCastToProperFunctionPointerType proc_t;

static const char gpu_extensions[] =
    "EGL_EXT_device_drm EGL_EXT_device_drm_render_node EGL_EXT_device_persistent_id";
static int gpu_handle;
#define GPU ((EGLDeviceEXT)&gpu_handle)

/* The error the last injected failure set, answered by the next eglGetError. */
static EGLint injected_error = EGL_SUCCESS;

static void* real(const char* name) {
  return dlsym(RTLD_NEXT, name);
}

/* Whether VELMOR_EGL_FAIL names `call` followed by `suffix`; if so, a failure's error is set. */
static int failing(const char* call, const char* suffix) {
  const char* fault = getenv("VELMOR_EGL_FAIL");
  const size_t length = strlen(call);
  if (!fault || strncmp(fault, call, length) != 0 ||
      strncmp(fault + length, suffix, strlen(suffix)) != 0) {
    return 0;
  }
  const char* rest = fault + length + strlen(suffix);
  if (*rest != '\0' && *rest != ':') {
    return 0;
  }
  if (*suffix == '!') {
    return 1;
  }
  injected_error = *rest == ':' ? (EGLint)strtol(rest + 1, NULL, 16) : EGL_BAD_ALLOC;
  return 1;
}

EGLint eglGetError(void) {
  static EGLint (*real_get_error)(void);
  if (!real_get_error) {
    real_get_error = (EGLint(*)(void))real("eglGetError");
  }
  const EGLint error = real_get_error();
  if (injected_error == EGL_SUCCESS) {
    return error;
  }
  const EGLint answer = injected_error;
  injected_error = EGL_SUCCESS;
  return answer;
}

/* Whether `word` is one of VELMOR_EGL_HIDE's names. */
static int hidden(const char* word) {
  const char* names = getenv("VELMOR_EGL_HIDE");
  const size_t length = strlen(word);
  for (const char* at = names; at && (at = strstr(at, word)); at += length) {
    if ((at == names || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0')) {
      return 1;
    }
  }
  return 0;
}

const char* eglQueryString(EGLDisplay display, EGLint name) {
  static const char* (*real_query)(EGLDisplay, EGLint);
  static char kept[2][8192];
  if (!real_query) {
    real_query = (const char* (*)(EGLDisplay, EGLint))real("eglQueryString");
  }
  const char* answer = real_query(display, name);
  if (!answer || !getenv("VELMOR_EGL_HIDE") || name != EGL_EXTENSIONS) {
    return answer;
  }
  /* The list again, word by word, without the hidden ones: one copy for the client list, one
   * for the displays'. */
  char* list = kept[display != EGL_NO_DISPLAY];
  char copy[sizeof kept[0]];
  strncpy(copy, answer, sizeof copy - 1);
  copy[sizeof copy - 1] = '\0';
  list[0] = '\0';
  char* state = NULL;
  for (char* word = strtok_r(copy, " ", &state); word; word = strtok_r(NULL, " ", &state)) {
    if (!hidden(word) && strlen(list) + strlen(word) + 2 < sizeof kept[0]) {
      strcat(strcat(list, list[0] ? " " : ""), word);
    }
  }
  return list;
}

EGLBoolean eglBindAPI(EGLenum api) {
  static EGLBoolean (*real_bind)(EGLenum);
  if (!real_bind) {
    real_bind = (EGLBoolean(*)(EGLenum))real("eglBindAPI");
  }
  const char* refuse = getenv("VELMOR_EGL_NO_OPENGL");
  /* OpenVG, which Mesa does not offer: the real one refuses it and sets its own error. */
  return real_bind(refuse && strcmp(refuse, "1") == 0 && api == EGL_OPENGL_API ? EGL_OPENVG_API
                                                                               : api);
}

EGLBoolean eglInitialize(EGLDisplay display, EGLint* major, EGLint* minor) {
  if (failing("eglInitialize", "")) {
    return EGL_FALSE;
  }
  return ((EGLBoolean(*)(EGLDisplay, EGLint*, EGLint*))real("eglInitialize"))(display, major,
                                                                              minor);
}

EGLBoolean eglChooseConfig(EGLDisplay display, const EGLint* wanted, EGLConfig* configs,
                           EGLint size, EGLint* count) {
  if (failing("eglChooseConfig", "")) {
    *count = 0;
    return EGL_FALSE;
  }
  return ((EGLBoolean(*)(EGLDisplay, const EGLint*, EGLConfig*, EGLint, EGLint*))real(
      "eglChooseConfig"))(display, wanted, configs, size, count);
}

EGLBoolean eglMakeCurrent(EGLDisplay display, EGLSurface draw, EGLSurface read,
                          EGLContext context) {
  if (failing("eglMakeCurrent", "")) {
    return EGL_FALSE;
  }
  return ((EGLBoolean(*)(EGLDisplay, EGLSurface, EGLSurface, EGLContext))real("eglMakeCurrent"))(
      display, draw, read, context);
}

/* The extension entry points come through eglGetProcAddress; these stand in for them. */
static PFNEGLQUERYDEVICESEXTPROC real_query_devices;
static PFNEGLQUERYDEVICESTRINGEXTPROC real_query_device_string;
static PFNEGLGETPLATFORMDISPLAYEXTPROC real_get_platform_display;

static EGLBoolean query_devices(EGLint max, EGLDeviceEXT* devices, EGLint* count) {
  if (failing("eglQueryDevicesEXT", devices ? "/list" : "")) {
    return EGL_FALSE;
  }
  const int gpu = getenv("VELMOR_EGL_HARDWARE") != NULL;
  if (!devices) {
    const EGLBoolean counted = real_query_devices(0, NULL, count);
    *count += counted ? gpu : 0;
    return counted;
  }
  if (!real_query_devices(max, devices, count)) {
    return EGL_FALSE;
  }
  if (gpu && *count < max) {
    devices[(*count)++] = GPU;
  }
  return EGL_TRUE;
}

static const char* query_device_string(EGLDeviceEXT device, EGLint name) {
  if (device != GPU) {
    return real_query_device_string(device, name);
  }
  switch (name) {
  case EGL_EXTENSIONS:
    return gpu_extensions;
  case EGL_DRM_DEVICE_FILE_EXT:
    return "/dev/dri/card0";
  case EGL_DRM_RENDER_NODE_FILE_EXT:
    return "/dev/dri/renderD128";
  case EGL_DRIVER_NAME_EXT:
    return getenv("VELMOR_EGL_HARDWARE");
  default:
    injected_error = EGL_BAD_PARAMETER;
    return NULL;
  }
}

static EGLDisplay get_platform_display(EGLenum platform, void* native, const EGLint* attributes) {
  if (failing("eglGetPlatformDisplayEXT", "")) {
    return EGL_NO_DISPLAY;
  }
  if (platform == EGL_PLATFORM_DEVICE_EXT && native == GPU) {
    return real_get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, NULL);
  }
  return real_get_platform_display(platform, native, attributes);
}

proc_t eglGetProcAddress(const char* name) {
  static proc_t (*real_get_proc_address)(const char*);
  if (!real_get_proc_address) {
    real_get_proc_address = (proc_t(*)(const char*))real("eglGetProcAddress");
  }
  const proc_t found = real_get_proc_address(name);
  if (!found || failing(name, "!")) {
    return NULL;
  }
  if (strcmp(name, "eglQueryDevicesEXT") == 0) {
    real_query_devices = (PFNEGLQUERYDEVICESEXTPROC)found;
    return (proc_t)query_devices;
  }
  if (strcmp(name, "eglQueryDeviceStringEXT") == 0) {
    real_query_device_string = (PFNEGLQUERYDEVICESTRINGEXTPROC)found;
    return (proc_t)query_device_string;
  }
  if (strcmp(name, "eglGetPlatformDisplayEXT") == 0) {
    real_get_platform_display = (PFNEGLGETPLATFORMDISPLAYEXTPROC)found;
    return (proc_t)get_platform_display;
  }
  return found;
}

int dlclose(void* handle) {
  (void)handle;
  return 0;
}
