#include "app/failure.h"

#include <cstdarg>
#include <cstdio>

void printFailure(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("velmor-headless: ", stderr);
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}
