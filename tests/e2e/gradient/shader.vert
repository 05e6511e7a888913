#version 450
// The position, passed on as a varying: a fragment stage with an input.
layout(location = 0) in vec2 position;
layout(location = 0) out vec2 uv;
out gl_PerVertex { vec4 gl_Position; };
void main() {
    uv = position * 0.5 + 0.5;
    gl_Position = vec4(position, 0.0, 1.0);
}
