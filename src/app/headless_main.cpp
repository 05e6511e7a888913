// velmor-headless: velmor's start-up and transcript on an EGL context with no window system,
// for machines without a display (CI runners, containers, GPU servers). The frames go into a
// framebuffer object; the first can be saved as a PNG. It exits once they are drawn.

#include "app/egl_context.h"
#include "app/failure.h"
#include "app/startup.h"
#include "render/frame_png.h"
#include "render/frame_target.h"
#include "render/render.h"

#include <GL/glew.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Options {
  int device = -1;
  int frames = 1;
  const char* png = nullptr;
  const char* info = nullptr;
  bool listDevices = false;
};

const char* const usage = "usage: velmor-headless [--device N] [--frames N] [--png FILE] "
                          "[--info FILE] | --list-devices";

bool parseCount(const char* text, int lowest, int* value) {
  if (!text || !*text) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno || *end || number < lowest || number > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

// False after the one line that says what is wrong with the command line.
bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool good = true;
    if (std::strcmp(option, "--list-devices") == 0) {
      options->listDevices = true;
      continue;
    } else if (std::strcmp(option, "--device") == 0) {
      good = parseCount(value, 0, &options->device);
    } else if (std::strcmp(option, "--frames") == 0) {
      good = parseCount(value, 1, &options->frames);
    } else if (std::strcmp(option, "--png") == 0 && value && *value) {
      options->png = value;
    } else if (std::strcmp(option, "--info") == 0 && value && *value) {
      options->info = value;
    } else if (std::strcmp(option, "--png") == 0 || std::strcmp(option, "--info") == 0) {
      printFailure("no file named for %s (%s)", option, usage);
      return false;
    } else {
      printFailure("unknown argument %s (%s)", option, usage);
      return false;
    }
    if (!good) {
      printFailure("bad value for %s: %s (%s)", option, value ? value : "none", usage);
      return false;
    }
    ++i;
  }
  return true;
}

void writeJsonString(std::FILE* file, const char* text) {
  std::fputc('"', file);
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    if (*c == '"' || *c == '\\') {
      std::fprintf(file, "\\%c", *c);
    } else if (*c < 0x20) {
      std::fprintf(file, "\\u%04x", *c);
    } else {
      std::fputc(*c, file);
    }
  }
  std::fputc('"', file);
}

void writeJsonField(std::FILE* file, const char* name, const char* text, bool last = false) {
  std::fprintf(file, "  \"%s\": ", name);
  if (text) {
    writeJsonString(file, text);
  } else {
    std::fputs("null", file);
  }
  std::fputs(last ? "\n" : ",\n", file);
}

const char* glText(GLenum name) {
  return reinterpret_cast<const char*>(glGetString(name));
}

const char* orNull(const std::string& text) {
  return text.empty() ? nullptr : text.c_str();
}

// What the context is, for whoever names the run: the GL's strings and the EGL side.
bool writeInfo(const char* path, const EglIdentity& identity) {
  std::FILE* file = std::fopen(path, "w");
  if (!file) {
    printFailure("cannot write %s: %s", path, std::strerror(errno));
    return false;
  }
  GLint flags = 0;
  glGetIntegerv(GL_CONTEXT_FLAGS, &flags);
  char flagText[16];
  std::snprintf(flagText, sizeof flagText, "0x%x", static_cast<unsigned>(flags));
  const std::string device = identity.device < 0 ? "" : std::to_string(identity.device);
  std::fputs("{\n", file);
  writeJsonField(file, "gl_vendor", glText(GL_VENDOR));
  writeJsonField(file, "gl_renderer", glText(GL_RENDERER));
  writeJsonField(file, "gl_version", glText(GL_VERSION));
  writeJsonField(file, "glsl_version", glText(GL_SHADING_LANGUAGE_VERSION));
  writeJsonField(file, "context_flags", flagText);
  writeJsonField(file, "egl_vendor", identity.vendor.c_str());
  writeJsonField(file, "egl_version", identity.version.c_str());
  writeJsonField(file, "platform", identity.platform.c_str());
  std::fprintf(file, "  \"device\": %s,\n", device.empty() ? "null" : device.c_str());
  writeJsonField(file, "device_node", orNull(identity.deviceNode));
  writeJsonField(file, "device_driver", orNull(identity.deviceDriver), true);
  std::fputs("}\n", file);
  if (std::fclose(file) != 0) {
    printFailure("cannot write %s: %s", path, std::strerror(errno));
    return false;
  }
  return true;
}

// Where velmor shows its window and waits for it to close: the frames, then the end.
bool drawFrames(const Options& options) {
  for (int frame = 0; frame < options.frames; ++frame) {
    drawFrame();
    if (frame == 0 && options.png && !writeFramePng(options.png)) {
      return false;
    }
  }
  glFinish();
  return true;
}

} // namespace

int main(int argc, char** argv) {
  prepareConsole();
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    return 2;
  }
  if (options.listDevices) {
    return listEglDevices() ? 0 : 1;
  }
  EglIdentity identity;
  if (!makeEglContext(options.device, &identity) || !loadEntryPointsOnEgl()) {
    return 1;
  }
  // Mesa checks a program pipeline when it is bound only if the draw framebuffer is known to be
  // complete, as a window's always is: without this check first, the set-up of mode 4 would
  // print less and crash later than in the window.
  const GLenum status = createFrameTarget();
  if (status != GL_FRAMEBUFFER_COMPLETE) {
    printFailure("no complete %dx%d GL_RGBA8 framebuffer object (0x%x)", windowWidth, windowHeight,
                 status);
    return 1;
  }
  if (options.info && !writeInfo(options.info, identity)) {
    return 1;
  }
  if (!buildChosenPipeline()) {
    return 1;
  }
  return drawFrames(options) ? 0 : 1;
}
