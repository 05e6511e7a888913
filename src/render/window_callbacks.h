#pragma once
// freeglut's callbacks: velmor's window shows the frame drawFrame draws.

// Draws the frame and swaps it onto the window.
void display();

// Installed and empty: the picture never changes.
void idle();

// Takes the window's new size for the globals and the viewport.
void reshape(int width, int height);
