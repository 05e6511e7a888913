#version 450

// A loose fragment stage with an input: gl_FragCoord. Modes 1 to 3 draw the same gradient; mode 4
// meets Mesa's known crash on a SPIR-V separable fragment stage with inputs.
out vec4 color;

void main() {
    color = vec4(gl_FragCoord.x / 800.0, gl_FragCoord.y / 600.0, 0.5, 1.0);
}
