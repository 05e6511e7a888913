#include "gl_support.h"

#include "pipeline/pipeline.h"
#include "render/render.h"
#include "render/window_callbacks.h"

#include <GL/freeglut.h>

#include <unistd.h>

namespace {

class Render : public GlTest {};

GLint integer(GLenum name) {
  GLint value = -1;
  glGetIntegerv(name, &value);
  return value;
}

// Catches a quad with the wrong corners, size or usage, or one that does not stay bound.
TEST_F(Render, QuadStaysBoundWithItsSixCorners) {
  createScreenQuad();
  EXPECT_NE(integer(GL_VERTEX_ARRAY_BINDING), 0);
  ASSERT_NE(integer(GL_ARRAY_BUFFER_BINDING), 0);
  GLint size = 0, usage = 0;
  glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_USAGE, &usage);
  EXPECT_EQ(size, 48);
  EXPECT_EQ(usage, GL_STATIC_DRAW);
  std::vector<float> corners(12);
  glGetBufferSubData(GL_ARRAY_BUFFER, 0, 48, corners.data());
  EXPECT_EQ(corners, (std::vector<float>{-1, -1, 1, -1, -1, 1, 1, -1, -1, 1, 1, 1}));
  EXPECT_EQ(capture(discardDebugLog).err, "");
}

// Draws one frame through display with a linked pair of the given fragment outputs.
std::vector<unsigned char> drawFrame(const char* color, const char* factor) {
  writeFile("shader.vert", passThroughVertex);
  writeFile("shader.frag", constantFragment(color, factor));
  capture(setupGlsl);
  createScreenQuad();
  reshape(glutGet(GLUT_WINDOW_WIDTH), glutGet(GLUT_WINDOW_HEIGHT));
  display();
  return presentedFrame();
}

// Catches a blend that is not the product of the two outputs, or a quad that misses pixels.
TEST_F(Render, EveryPixelIsTheProductOfTheTwoOutputs) {
  expectEveryPixel(drawFrame("1.0, 0.5, 0.0, 1.0", "0.5, 0.5, 0.5, 1.0"), {128, 64, 0, 255});
  expectEveryPixel(drawFrame("1.0, 0.5, 0.25, 1.0", "0.0"), {0, 0, 0, 0});
  EXPECT_TRUE(glIsEnabled(GL_BLEND));
  EXPECT_EQ(integer(GL_BLEND_SRC_RGB), GL_SRC1_COLOR);
  EXPECT_EQ(integer(GL_BLEND_DST_ALPHA), GL_ZERO);
  EXPECT_EQ(integer(GL_BLEND_EQUATION_RGB), GL_FUNC_ADD);
  GLint enabled = 0, stride = -1;
  glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &enabled);
  glGetVertexAttribiv(0, GL_VERTEX_ATTRIB_ARRAY_STRIDE, &stride);
  EXPECT_EQ(enabled, 1);
  EXPECT_EQ(stride, 8);
}

// Catches a mode whose picture differs from the others: all four draw the shipped shaders alike.
TEST_F(Render, FourModesDrawTheSamePicture) {
  copyShippedShaders();
  std::vector<unsigned char> first;
  for (void (*setup)() : {setupGlsl, setupGlslSso, setupSpirv, setupSpirvSso}) {
    glUseProgram(0);
    glBindProgramPipeline(0);
    capture(setup);
    createScreenQuad();
    display();
    const std::vector<unsigned char> frame = presentedFrame();
    if (first.empty()) {
      first = frame;
      expectEveryPixel(frame, {230, 122, 46, 255});
    } else {
      EXPECT_TRUE(frame == first) << "mode differs from mode 1";
    }
  }
}

// Catches a reshape that forgets the globals or the viewport, including the empty window.
TEST_F(Render, ReshapeFollowsTheWindow) {
  for (auto size : {std::pair{1024, 768}, std::pair{0, 0}, std::pair{800, 600}}) {
    reshape(size.first, size.second);
    EXPECT_EQ(windowWidth, size.first);
    EXPECT_EQ(windowHeight, size.second);
    GLint viewport[4] = {-1, -1, -1, -1};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(std::vector<GLint>(viewport, viewport + 4),
              (std::vector<GLint>{0, 0, size.first, size.second}));
  }
}

// Catches a quad that does not stretch over a resized window.
TEST_F(Render, QuadFillsAResizedWindow) {
  glutReshapeFunc(reshape);
  glutReshapeWindow(1024, 768);
  for (int i = 0; i < 500 && windowWidth != 1024; ++i) {
    glutMainLoopEvent();
    usleep(2000);
  }
  glutReshapeFunc(nullptr);
  ASSERT_EQ(windowHeight, 768);
  // The GL learns the drawable's new size at a buffer swap: the frame after it fills the window.
  display();
  ASSERT_EQ(glutGet(GLUT_WINDOW_WIDTH), 1024);
  const std::vector<unsigned char> frame = drawFrame("1.0, 0.5, 0.0, 1.0", "0.5, 0.5, 0.5, 1.0");
  EXPECT_EQ(frame.size(), 1024u * 768 * 4);
  expectEveryPixel(frame, {128, 64, 0, 255});
}

} // namespace
