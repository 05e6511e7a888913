#version 450 core

// The fragment stage of a case that has none: white, the two outputs the blend multiplies.
layout(location = 0, index = 0) out vec4 color;
layout(location = 0, index = 1) out vec4 factor;

void main() {
    color = vec4(1.0);
    factor = vec4(1.0);
}
