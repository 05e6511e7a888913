#pragma once
// Start-up: the window and its context, the capability tests, the console menu and the table
// that turns a choice into a pipeline set-up.

#include <cstdio>

using Setup = void (*)();

// The 800x600 "Velmor" window on a 4.5 debug context, current from here on.
void createWindow(int* argc, char** argv);

// Prints the version line and the capability verdicts; false when start-up cannot go on.
bool checkCapabilities();

// The four menu lines, on standard output.
void printMenu();

// Reads one white-space-delimited token of at most 79 characters into str. A longer token
// leaves its first 79 characters, which cannot match any entry; no token leaves str empty.
void readChoice(std::FILE* input, char (&str)[80]);

// The set-up whose entry equals str exactly, or null.
Setup findSetup(const char* str);
