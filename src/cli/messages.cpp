#include "cli/messages.h"

#include <cstdarg>
#include <cstdio>

namespace vurn {
namespace {

void (*line_eraser)() = nullptr;
const char* program = "vurn";

}  // namespace

void say(const char* format, ...) {
  if (line_eraser != nullptr) line_eraser();
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void set_line_eraser(void (*fn)()) {
  line_eraser = fn;
}

void set_program_name(const char* name) {
  if (name != nullptr) program = name;
}

const char* program_name() {
  return program;
}

}  // namespace vurn
