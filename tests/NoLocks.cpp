// Preloaded (LD_PRELOAD) into a program to stand for a file system without
// locks, as some network file systems are: every lock request through fcntl
// fails with ENOLCK, as theirs do; every other request goes on to the C
// library.

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

// A lock request fails; anything else goes to the C library's own `name`,
// with the one argument every command takes (an int or a pointer, passed
// alike).
int Answer(const char* name, int fd, int command, void* argument) {
  if (command == F_OFD_SETLK || command == F_OFD_SETLKW || command == F_SETLK ||
      command == F_SETLKW) {
    errno = ENOLCK;
    return -1;
  }
  using Fcntl = int (*)(int, int, ...);
  const auto next = reinterpret_cast<Fcntl>(dlsym(RTLD_NEXT, name));
  return next(fd, command, argument);
}

}  // namespace

// The C library's fcntl.h may name either; both are answered.
#define VTY_CONFIG_ANSWER_(name)                     \
  extern "C" int name(int fd, int command, ...) {    \
    va_list arguments;                               \
    va_start(arguments, command);                    \
    void* const argument = va_arg(arguments, void*); \
    va_end(arguments);                               \
    return Answer(#name, fd, command, argument);     \
  }
VTY_CONFIG_ANSWER_(fcntl)
VTY_CONFIG_ANSWER_(fcntl64)
#undef VTY_CONFIG_ANSWER_
