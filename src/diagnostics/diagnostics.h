#pragma once
// Reports of the GL's own verdicts: the debug message log and the info logs.

#include <GL/glew.h>

// Texts of the debug-message fields; "UNKNOW" for any value outside the GL's lists.
const char* debugSourceText(GLenum source);
const char* debugTypeText(GLenum type);
const char* debugSeverityText(GLenum severity);

// One tab-separated line on standard error.
void printDebugMessage(GLenum source, GLenum type, GLuint id, GLenum severity,
                       const GLchar* message);

// Fetches once (at most 64 messages, 2048 characters) and prints what was fetched; a message
// longer than 2048 characters that waits first is fetched and printed on its own before.
void printDebugLog();

// Print an object's info log on standard error when the GL reports one; nothing for name 0.
void printShaderInfoLog(GLuint shader);
void printProgramInfoLog(GLuint program);
