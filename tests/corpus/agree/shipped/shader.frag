#version 450 core

// No inputs at all: Mesa 22.3 crashes binding a SPIR-V separable fragment stage that has any.
// The blend multiplies the two outputs, so the window shows amber * peach = (0.9, 0.48, 0.18).
layout(location = 0, index = 0) out vec4 color;
layout(location = 0, index = 1) out vec4 factor;

void main() {
    color = vec4(0.9, 0.6, 0.3, 1.0);
    factor = vec4(1.0, 0.8, 0.6, 1.0);
}
