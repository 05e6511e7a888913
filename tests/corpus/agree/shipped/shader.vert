#version 450 core

// The quad's corners arrive in normalized device coordinates and pass through unchanged.
layout(location = 0) in vec2 position;

// Separable programs (every mode marks its programs separable) must redeclare the block.
out gl_PerVertex {
    vec4 gl_Position;
};

void main() {
    gl_Position = vec4(position, 0.0, 1.0);
}
