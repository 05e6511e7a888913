#version 450
// A gradient from the varying; its SPIR-V build has an input, which mode 4 on Mesa cannot bind.
layout(location = 0) in vec2 uv;
layout(location = 0, index = 0) out vec4 color;
layout(location = 0, index = 1) out vec4 factor;
void main() {
    color = vec4(uv, 0.5, 1.0);
    factor = vec4(1.0);
}
