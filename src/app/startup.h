#pragma once
// Start-up, shared by velmor and velmor-headless once each has a current context: the entry
// points, the capability tests, the console menu, the table that turns a choice into a pipeline
// set-up, the quad and the drain before drawing.

#include <GL/glew.h>

#include <cstdio>

using Setup = void (*)();

// Closed standard descriptors opened on /dev/null, standard output line-buffered, and the
// fatal-signal lines of the "start-up" phase. First in main: before anything opens a file.
void prepareConsole();

// glewInit on the current context; false after GLEW's "Error:" line.
bool loadEntryPoints();

// GLEW's "Error:" line for what glewInit answered.
void printGlewError(GLenum status);

// Prints the version line and the capability verdicts; false when start-up cannot go on.
bool checkCapabilities();

// From the capability tests to the drain before drawing: the menu, one choice read from
// standard input, its set-up, the quad. False (status 1) when start-up ends before the quad.
bool buildChosenPipeline();

// The four menu lines, on standard output.
void printMenu();

// Reads one white-space-delimited token of at most 79 characters into str. A longer token
// leaves its first 79 characters, which cannot match any entry; no token leaves str empty.
void readChoice(std::FILE* input, char (&str)[80]);

// The set-up whose entry equals str exactly, or null.
Setup findSetup(const char* str);
