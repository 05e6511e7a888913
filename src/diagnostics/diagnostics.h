#pragma once
// Reports of the GL's own verdicts: the debug message log and the info logs.
// Every line Velmor prints on standard output or error is read back by tools/console.py: a new
// or changed line needs its shape there (tests/tools checks every format in src/).

#include <GL/glew.h>

// Texts of the debug-message fields; "UNKNOW" for any value outside the GL's lists.
const char* debugSourceText(GLenum source);
const char* debugTypeText(GLenum type);
const char* debugSeverityText(GLenum severity);

// One tab-separated line on standard error.
void printDebugMessage(GLenum source, GLenum type, GLuint id, GLenum severity,
                       const GLchar* message);

// Empties the GL's debug message log onto standard error, in the log's order: fetches of at
// most 64 messages and 2048 characters, a message longer than that fetched on its own.
void printDebugLog();

// Print an object's info log on standard error when the GL reports one; nothing for name 0.
void printShaderInfoLog(GLuint shader);
void printProgramInfoLog(GLuint program);
