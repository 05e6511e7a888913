#pragma once
// velmor-headless's context: EGL with no window system, on the surfaceless platform or on one
// of EGL's devices, drawing into a framebuffer object instead of a window.

#include <string>

// What a run's identity names about the EGL side.
struct EglIdentity {
  std::string platform;     // "surfaceless" or "device"
  int device = -1;          // the device's index on the device platform
  std::string deviceNode;   // empty where the device extensions do not tell
  std::string deviceDriver; // empty where the device extensions do not tell
  std::string vendor;
  std::string version;
};

// Makes an OpenGL 4.5 core profile debug context current with no surface: on the surfaceless
// platform when device is negative, else on EGL device `device`. False after one line on
// standard error naming what is missing.
bool makeEglContext(int device, EglIdentity* identity);

// glewInit on the EGL context, as loadEntryPoints, except that GLEW's answer that it found no
// GLX display is accepted once every entry point velmor-headless calls is loaded.
bool loadEntryPointsOnEgl();

// One line per EGL device on standard output; false after one line on standard error when EGL
// cannot list its devices.
bool listEglDevices();
