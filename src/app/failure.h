#pragma once
// velmor-headless's own failures (velmor has none beyond the GL's and freeglut's).

// One line on standard error, velmor-headless's name first, so nobody takes it for the GL's.
void printFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
