#include "app/menu.h"

#include "pipeline/pipeline.h"

#include <cstring>

namespace {

struct ModeRow {
  const char* entry;
  Setup setup;
};

const ModeRow modeTable[] = {
    {"1", setupGlsl},
    {"2", setupGlslSso},
    {"3", setupSpirv},
    {"4", setupSpirvSso},
};

} // namespace

void printMenu() {
  std::fprintf(stdout, "1: GLSL\n");
  std::fprintf(stdout, "2: GLSL SSO\n");
  std::fprintf(stdout, "3: SPIRV\n");
  std::fprintf(stdout, "4: SPIRV SSO\n");
  // A pipe or a file buffers fully; whoever reads the menu must see it before we wait.
  std::fflush(stdout);
}

void readChoice(std::FILE* input, char (&str)[80]) {
  str[0] = '\0';
  if (std::fscanf(input, "%79s", str) != 1) {
    str[0] = '\0';
  }
}

Setup findSetup(const char* str) {
  for (const ModeRow& row : modeTable) {
    if (std::strcmp(str, row.entry) == 0) {
      return row.setup;
    }
  }
  return nullptr;
}
