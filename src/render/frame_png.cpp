#include "render/frame_png.h"

#include "app/failure.h"
#include "render/render.h"

#include <png.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

bool writeFramePng(const char* path) {
  const size_t stride = static_cast<size_t>(windowWidth) * 4;
  std::vector<unsigned char> pixels(stride * static_cast<size_t>(windowHeight));
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, windowWidth, windowHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(windowWidth);
  image.height = static_cast<png_uint_32>(windowHeight);
  image.format = PNG_FORMAT_RGBA;
  // Written before the exit that ends the run: speed over size.
  image.flags = PNG_IMAGE_FLAG_FAST;
  // The GL reads the bottom row first.
  const png_int_32 bottomUp = -static_cast<png_int_32>(stride);
  if (!png_image_write_to_file(&image, path, 0, pixels.data(), bottomUp, nullptr)) {
    printFailure("cannot write %s: %s", path, image.message);
    return false;
  }
  return true;
}
