#include "app/egl_context.h"

#include "app/failure.h"
#include "app/startup.h"

#include <GL/glew.h>

#include <EGL/egl.h>
#include <EGL/eglext.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

PFNEGLGETPLATFORMDISPLAYEXTPROC getPlatformDisplay;
PFNEGLQUERYDEVICESEXTPROC queryDevices;
PFNEGLQUERYDEVICESTRINGEXTPROC queryDeviceString;

const char* eglErrorName(EGLint error) {
  switch (error) {
  case EGL_SUCCESS:
    return "EGL_SUCCESS";
  case EGL_NOT_INITIALIZED:
    return "EGL_NOT_INITIALIZED";
  case EGL_BAD_ACCESS:
    return "EGL_BAD_ACCESS";
  case EGL_BAD_ALLOC:
    return "EGL_BAD_ALLOC";
  case EGL_BAD_ATTRIBUTE:
    return "EGL_BAD_ATTRIBUTE";
  case EGL_BAD_CONFIG:
    return "EGL_BAD_CONFIG";
  case EGL_BAD_CONTEXT:
    return "EGL_BAD_CONTEXT";
  case EGL_BAD_DISPLAY:
    return "EGL_BAD_DISPLAY";
  case EGL_BAD_MATCH:
    return "EGL_BAD_MATCH";
  case EGL_BAD_PARAMETER:
    return "EGL_BAD_PARAMETER";
  default:
    return "an EGL error";
  }
}

// Whole names only: one extension's name may begin another's.
bool hasExtension(const char* list, const char* name) {
  const size_t length = std::strlen(name);
  for (const char* at = list; at && (at = std::strstr(at, name)); at += length) {
    if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0')) {
      return true;
    }
  }
  return false;
}

// The client extensions name the platforms; libglvnd answers an empty list, or none, when it
// found no vendor library to load.
const char* clientExtensions() {
  const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  if (!extensions || !*extensions) {
    printFailure("no EGL implementation: libEGL loaded no vendor library (a driver's file in "
                 "/usr/share/glvnd/egl_vendor.d and the library it names)");
    return nullptr;
  }
  return extensions;
}

bool loadDeviceEntryPoints(const char* extensions) {
  if (!hasExtension(extensions, "EGL_EXT_device_enumeration") &&
      !hasExtension(extensions, "EGL_EXT_device_base")) {
    printFailure("no EGL device enumeration (EGL_EXT_device_enumeration) in this EGL");
    return false;
  }
  queryDevices =
      reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
  queryDeviceString = reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(
      eglGetProcAddress("eglQueryDeviceStringEXT"));
  if (!queryDevices || !queryDeviceString) {
    printFailure("no eglQueryDevicesEXT in this EGL, though it lists EGL_EXT_device_enumeration");
    return false;
  }
  return true;
}

bool devices(std::vector<EGLDeviceEXT>* found) {
  EGLint count = 0;
  if (!queryDevices(0, nullptr, &count)) {
    printFailure("EGL cannot count its devices (eglQueryDevicesEXT: %s)",
                 eglErrorName(eglGetError()));
    return false;
  }
  found->resize(static_cast<size_t>(count));
  if (count > 0 && !queryDevices(count, found->data(), &count)) {
    printFailure("EGL cannot list its devices (eglQueryDevicesEXT: %s)",
                 eglErrorName(eglGetError()));
    return false;
  }
  found->resize(static_cast<size_t>(count));
  return true;
}

std::string deviceString(EGLDeviceEXT device, EGLint name) {
  const char* text = queryDeviceString(device, name);
  return text ? text : "";
}

std::string deviceNode(EGLDeviceEXT device, const char* extensions) {
  if (hasExtension(extensions, "EGL_EXT_device_drm_render_node")) {
    return deviceString(device, EGL_DRM_RENDER_NODE_FILE_EXT);
  }
  return hasExtension(extensions, "EGL_EXT_device_drm")
             ? deviceString(device, EGL_DRM_DEVICE_FILE_EXT)
             : "";
}

std::string deviceDriver(EGLDeviceEXT device, const char* extensions) {
  return hasExtension(extensions, "EGL_EXT_device_persistent_id")
             ? deviceString(device, EGL_DRIVER_NAME_EXT)
             : "";
}

const char* deviceExtensions(EGLDeviceEXT device) {
  const char* extensions = queryDeviceString(device, EGL_EXTENSIONS);
  return extensions ? extensions : "";
}

// The initialized display of the platform asked for, or EGL_NO_DISPLAY after its line.
EGLDisplay openDisplay(int device, EglIdentity* identity) {
  const char* extensions = clientExtensions();
  if (!extensions) {
    return EGL_NO_DISPLAY;
  }
  getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  const char* platform = device < 0 ? "EGL_MESA_platform_surfaceless" : "EGL_EXT_platform_device";
  if (!hasExtension(extensions, "EGL_EXT_platform_base") || !getPlatformDisplay ||
      !hasExtension(extensions, platform)) {
    printFailure("no EGL %s platform (%s) in this EGL", device < 0 ? "surfaceless" : "device",
                 platform);
    return EGL_NO_DISPLAY;
  }
  EGLDisplay display = EGL_NO_DISPLAY;
  if (device < 0) {
    identity->platform = "surfaceless";
    display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  } else {
    std::vector<EGLDeviceEXT> found;
    if (!loadDeviceEntryPoints(extensions) || !devices(&found)) {
      return EGL_NO_DISPLAY;
    }
    if (static_cast<size_t>(device) >= found.size()) {
      printFailure("no EGL device %d: EGL lists %zu (see --list-devices)", device, found.size());
      return EGL_NO_DISPLAY;
    }
    const EGLDeviceEXT chosen = found[static_cast<size_t>(device)];
    identity->platform = "device";
    identity->device = device;
    identity->deviceNode = deviceNode(chosen, deviceExtensions(chosen));
    identity->deviceDriver = deviceDriver(chosen, deviceExtensions(chosen));
    display = getPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, chosen, nullptr);
  }
  if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr)) {
    printFailure("the EGL %s platform gives no display (%s)", identity->platform.c_str(),
                 eglErrorName(eglGetError()));
    return EGL_NO_DISPLAY;
  }
  identity->vendor = eglQueryString(display, EGL_VENDOR);
  identity->version = eglQueryString(display, EGL_VERSION);
  return display;
}

// No config where the display allows it (there is no surface); else any config that can
// render OpenGL, which the drivers without that extension ask for.
bool chooseConfig(EGLDisplay display, EGLConfig* config) {
  const char* extensions = eglQueryString(display, EGL_EXTENSIONS);
  if (hasExtension(extensions, "EGL_KHR_no_config_context") ||
      hasExtension(extensions, "EGL_MESA_configless_context")) {
    *config = EGL_NO_CONFIG_KHR;
    return true;
  }
  const EGLint wanted[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                           EGL_NONE};
  EGLint count = 0;
  return eglChooseConfig(display, wanted, config, 1, &count) && count == 1;
}

EGLContext createContext(EGLDisplay display) {
  EGLConfig config;
  if (!chooseConfig(display, &config)) {
    printFailure("no EGL config that renders OpenGL on this display (%s)",
                 eglErrorName(eglGetError()));
    return EGL_NO_CONTEXT;
  }
  const EGLint attributes[] = {
      EGL_CONTEXT_MAJOR_VERSION_KHR,
      4,
      EGL_CONTEXT_MINOR_VERSION_KHR,
      5,
      EGL_CONTEXT_OPENGL_PROFILE_MASK_KHR,
      EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT_KHR,
      EGL_CONTEXT_FLAGS_KHR,
      EGL_CONTEXT_OPENGL_DEBUG_BIT_KHR,
      EGL_NONE,
  };
  const EGLContext context = eglCreateContext(display, config, EGL_NO_CONTEXT, attributes);
  if (context == EGL_NO_CONTEXT) {
    printFailure(
        "no OpenGL 4.5 core profile debug context on this EGL display (eglCreateContext: %s)",
        eglErrorName(eglGetError()));
  }
  return context;
}

struct EntryPoint {
  const char* name;
  const void* address;
};

// The first entry point Velmor calls beyond OpenGL 1.1 (GLEW's pointers) that is not loaded, or
// null. The separate shader objects and SPIR-V have capability tests of their own.
const char* firstMissingEntryPoint() {
  const EntryPoint used[] = {
      {"glCreateShader", reinterpret_cast<const void*>(glCreateShader)},
      {"glShaderSource", reinterpret_cast<const void*>(glShaderSource)},
      {"glCompileShader", reinterpret_cast<const void*>(glCompileShader)},
      {"glShaderBinary", reinterpret_cast<const void*>(glShaderBinary)},
      {"glGetShaderiv", reinterpret_cast<const void*>(glGetShaderiv)},
      {"glGetShaderInfoLog", reinterpret_cast<const void*>(glGetShaderInfoLog)},
      {"glDeleteShader", reinterpret_cast<const void*>(glDeleteShader)},
      {"glCreateProgram", reinterpret_cast<const void*>(glCreateProgram)},
      {"glProgramParameteri", reinterpret_cast<const void*>(glProgramParameteri)},
      {"glAttachShader", reinterpret_cast<const void*>(glAttachShader)},
      {"glDetachShader", reinterpret_cast<const void*>(glDetachShader)},
      {"glLinkProgram", reinterpret_cast<const void*>(glLinkProgram)},
      {"glGetProgramiv", reinterpret_cast<const void*>(glGetProgramiv)},
      {"glGetProgramInfoLog", reinterpret_cast<const void*>(glGetProgramInfoLog)},
      {"glUseProgram", reinterpret_cast<const void*>(glUseProgram)},
      {"glGenVertexArrays", reinterpret_cast<const void*>(glGenVertexArrays)},
      {"glBindVertexArray", reinterpret_cast<const void*>(glBindVertexArray)},
      {"glGenBuffers", reinterpret_cast<const void*>(glGenBuffers)},
      {"glBindBuffer", reinterpret_cast<const void*>(glBindBuffer)},
      {"glBufferData", reinterpret_cast<const void*>(glBufferData)},
      {"glVertexAttribPointer", reinterpret_cast<const void*>(glVertexAttribPointer)},
      {"glEnableVertexAttribArray", reinterpret_cast<const void*>(glEnableVertexAttribArray)},
      {"glBlendEquation", reinterpret_cast<const void*>(glBlendEquation)},
      {"glGenFramebuffers", reinterpret_cast<const void*>(glGenFramebuffers)},
      {"glBindFramebuffer", reinterpret_cast<const void*>(glBindFramebuffer)},
      {"glDeleteFramebuffers", reinterpret_cast<const void*>(glDeleteFramebuffers)},
      {"glCheckFramebufferStatus", reinterpret_cast<const void*>(glCheckFramebufferStatus)},
      {"glGenRenderbuffers", reinterpret_cast<const void*>(glGenRenderbuffers)},
      {"glBindRenderbuffer", reinterpret_cast<const void*>(glBindRenderbuffer)},
      {"glDeleteRenderbuffers", reinterpret_cast<const void*>(glDeleteRenderbuffers)},
      {"glRenderbufferStorage", reinterpret_cast<const void*>(glRenderbufferStorage)},
      {"glFramebufferRenderbuffer", reinterpret_cast<const void*>(glFramebufferRenderbuffer)},
  };
  for (const EntryPoint& entryPoint : used) {
    if (!entryPoint.address) {
      return entryPoint.name;
    }
  }
  return nullptr;
}

} // namespace

bool makeEglContext(int device, EglIdentity* identity) {
  const EGLDisplay display = openDisplay(device, identity);
  if (display == EGL_NO_DISPLAY) {
    return false;
  }
  if (!eglBindAPI(EGL_OPENGL_API)) {
    // Read before the next EGL call resets it.
    const EGLint error = eglGetError();
    printFailure("no OpenGL API on this EGL display (eglBindAPI: %s; it offers: %s)",
                 eglErrorName(error), eglQueryString(display, EGL_CLIENT_APIS));
    eglTerminate(display);
    return false;
  }
  const EGLContext context = createContext(display);
  if (context == EGL_NO_CONTEXT) {
    eglTerminate(display);
    return false;
  }
  if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context)) {
    printFailure(
        "the OpenGL 4.5 context cannot be made current without a surface (eglMakeCurrent: %s)",
        eglErrorName(eglGetError()));
    eglDestroyContext(display, context);
    eglTerminate(display);
    return false;
  }
  // Current for the whole run, like velmor's window.
  return true;
}

bool listEglDevices() {
  const char* extensions = clientExtensions();
  std::vector<EGLDeviceEXT> found;
  if (!extensions || !loadDeviceEntryPoints(extensions) || !devices(&found)) {
    return false;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    const char* list = deviceExtensions(found[i]);
    const std::string node = deviceNode(found[i], list);
    const std::string driver = deviceDriver(found[i], list);
    std::printf("%zu: %s; node %s; driver %s; extensions %s\n", i,
                hasExtension(list, "EGL_MESA_device_software") ? "software" : "hardware",
                node.empty() ? "none" : node.c_str(), driver.empty() ? "unknown" : driver.c_str(),
                list);
  }
  return true;
}

bool loadEntryPointsOnEgl() {
  const GLenum status = glewInit();
  // A GLEW built for GLX loads every GL entry point first and only then looks for the GLX
  // display, which an EGL context does not have.
  if (status == GLEW_ERROR_NO_GLX_DISPLAY) {
    const char* missing = firstMissingEntryPoint();
    if (missing) {
      printFailure("GLEW did not load %s on the EGL context", missing);
    }
    return !missing;
  }
  if (status != GLEW_OK) {
    printGlewError(status);
    return false;
  }
  return true;
}
