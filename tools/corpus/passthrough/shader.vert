#version 450 core

// The vertex stage of a case that has none. Velmor's quad gives vec2 corners at location 0; a
// vec4 input there reads them with z 0 and w 1, as piglit's pass-through stage does.
layout(location = 0) in vec4 piglit_vertex;

// Separable programs must redeclare the block.
out gl_PerVertex {
    vec4 gl_Position;
};

void main() {
    gl_Position = piglit_vertex;
}
