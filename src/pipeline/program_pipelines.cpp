#include "pipeline/pipeline.h"

GLuint pipeline = 0;

namespace {

// No name is tested: a 0 or unlinked program leaves its stage empty, and the GL says so in the
// drain main runs after the quad is made.
void bindPipeline(GLuint fragmentProgram, GLuint vertexProgram) {
  glGenProgramPipelines(1, &pipeline);
  glUseProgramStages(pipeline, GL_FRAGMENT_SHADER_BIT, fragmentProgram);
  glUseProgramStages(pipeline, GL_VERTEX_SHADER_BIT, vertexProgram);
  glBindProgramPipeline(pipeline);
}

} // namespace

void setupGlslSso() {
  const std::string frag_stringGL = "shader.frag";
  const std::string vert_stringGL = "shader.vert";
  // Two statements, so the fragment stage's output always comes first.
  const GLuint fragmentProgram = createSeparableGlslProgram(frag_stringGL, GL_FRAGMENT_SHADER);
  const GLuint vertexProgram = createSeparableGlslProgram(vert_stringGL, GL_VERTEX_SHADER);
  bindPipeline(fragmentProgram, vertexProgram);
}

void setupSpirvSso() {
  const std::string frag_string = "frag.spv";
  const std::string vert_string = "vert.spv";
  const GLuint fragmentProgram = createSeparableSpirvProgram(frag_string, GL_FRAGMENT_SHADER);
  const GLuint vertexProgram = createSeparableSpirvProgram(vert_string, GL_VERTEX_SHADER);
  bindPipeline(fragmentProgram, vertexProgram);
}
