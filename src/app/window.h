#pragma once
// velmor's own part of start-up: the window that holds its context.

// velmor's 800x600 "Velmor" window on a 4.5 debug context, current from here on.
void createWindow(int* argc, char** argv);
