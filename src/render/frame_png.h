#pragma once
// The frame drawn off screen, saved as a picture.

// The bound read framebuffer (windowWidth x windowHeight) as an RGBA PNG at path, top row first.
// False after one line on standard error.
bool writeFramePng(const char* path);
