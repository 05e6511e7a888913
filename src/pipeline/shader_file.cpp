#include "pipeline/pipeline.h"

#include <filesystem>
#include <limits>
#include <new>

bool openShaderFile(const std::string& path, std::ifstream& shaderFile) {
  // Directories, FIFOs and devices open like files on Linux, yet have no size to take
  // (and a FIFO would block the open); they fail the way a missing file does.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return false;
  }
  shaderFile.open(path, std::ios::binary | std::ios::ate);
  return shaderFile.is_open();
}

bool readWholeFile(std::ifstream& shaderFile, std::string& bin) {
  const std::streamoff end = shaderFile.tellg();
  // GL takes lengths as GLint: a bigger file would reach it as a negative length.
  if (end < 0 || end > std::numeric_limits<GLint>::max()) {
    return false;
  }
  const auto size = static_cast<size_t>(end);
  shaderFile.seekg(0, std::ios::beg);
  try {
    bin.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  shaderFile.read(&bin[0], static_cast<std::streamsize>(size));
  // A file that shrank since its size was taken must not hand GL bytes it never read.
  return static_cast<size_t>(shaderFile.gcount()) == size;
}
