#include "render/render.h"

int windowWidth = 800;
int windowHeight = 600;

void createScreenQuad() {
  GLuint VAO = 0;
  glGenVertexArrays(1, &VAO);
  glBindVertexArray(VAO);

  // Two independent triangles sharing the bottom-right to top-left diagonal.
  const float vert[12] = {
      -1.0f, -1.0f, 1.0f,  -1.0f, -1.0f, 1.0f, //
      1.0f,  -1.0f, -1.0f, 1.0f,  1.0f,  1.0f,
  };
  GLuint BufferName = 0;
  glGenBuffers(1, &BufferName);
  glBindBuffer(GL_ARRAY_BUFFER, BufferName);
  glBufferData(GL_ARRAY_BUFFER, sizeof vert, vert, GL_STATIC_DRAW);
  // Neither name is kept: both stay bound for the whole run and drawFrame draws from them.
}

void drawFrame() {
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  // Dual-source blending: each pixel is the fragment's first colour times its second.
  glEnable(GL_BLEND);
  glBlendEquation(GL_FUNC_ADD);
  glBlendFunc(GL_SRC1_COLOR, GL_ZERO);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 2 * sizeof(float), nullptr);
  glEnableVertexAttribArray(0);
  glDrawArrays(GL_TRIANGLES, 0, 6);
}
