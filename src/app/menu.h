#pragma once
// The console menu and the table that turns a choice into a pipeline set-up.

#include <cstdio>

using Setup = void (*)();

// The four menu lines, on standard output.
void printMenu();

// Reads one white-space-delimited token of at most 79 characters into str. A longer token
// leaves its first 79 characters, which cannot match any entry; no token leaves str empty.
void readChoice(std::FILE* input, char (&str)[80]);

// The set-up whose entry equals str exactly, or null.
Setup findSetup(const char* str);
