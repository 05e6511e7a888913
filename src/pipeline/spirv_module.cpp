#include "pipeline/pipeline.h"

#include <spirv-tools/libspirv.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The validator words some verdicts over several lines (the reason, then the instruction it
// concerns); the console keeps one line per verdict, so the lines are joined by single spaces.
std::string oneLine(const char* text) {
  std::string line;
  bool gap = false;
  for (const char* c = text; *c; ++c) {
    if (*c == '\n' || *c == '\r') {
      gap = !line.empty();
      continue;
    }
    if (gap && (*c == ' ' || *c == '\t')) {
      continue;
    }
    if (gap) {
      line += ' ';
      gap = false;
    }
    line += *c;
  }
  return line;
}

} // namespace

bool validateSpirv(const std::string& bin, std::string& verdict) {
  // spirv-val's own words for a file it will not read as words at all.
  if (bin.size() % 4 != 0) {
    verdict = "file size should be a multiple of 4";
    return false;
  }
  // A copy, so the validator reads aligned words whatever the string's storage.
  std::vector<uint32_t> words(bin.size() / 4);
  if (!words.empty()) {
    std::memcpy(words.data(), bin.data(), bin.size());
  }
  spv_context context = spvContextCreate(SPV_ENV_OPENGL_4_5);
  spv_diagnostic diagnostic = nullptr;
  const spv_result_t result = spvValidateBinary(context, words.data(), words.size(), &diagnostic);
  if (result != SPV_SUCCESS) {
    verdict = oneLine(diagnostic && diagnostic->error ? diagnostic->error : "");
  }
  spvDiagnosticDestroy(diagnostic);
  spvContextDestroy(context);
  return result == SPV_SUCCESS;
}
