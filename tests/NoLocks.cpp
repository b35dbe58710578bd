// Preloaded (LD_PRELOAD) into a program to stand for a file system without
// locks, as some network file systems are: every lock request through fcntl
// fails with ENOLCK, as theirs do; every other request goes on to the C
// library.

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

bool IsLockRequest(int command) {
  return command == F_OFD_SETLK || command == F_OFD_SETLKW ||
         command == F_SETLK || command == F_SETLKW;
}

// The C library's own `name`, called with the one argument every command
// takes (an int or a pointer, passed alike).
int Forward(const char* name, int fd, int command, void* argument) {
  using Fcntl = int (*)(int, int, ...);
  const auto next = reinterpret_cast<Fcntl>(dlsym(RTLD_NEXT, name));
  return next(fd, command, argument);
}

}  // namespace

extern "C" int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* const argument = va_arg(arguments, void*);
  va_end(arguments);
  if (IsLockRequest(command)) {
    errno = ENOLCK;
    return -1;
  }
  return Forward("fcntl", fd, command, argument);
}

extern "C" int fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* const argument = va_arg(arguments, void*);
  va_end(arguments);
  if (IsLockRequest(command)) {
    errno = ENOLCK;
    return -1;
  }
  return Forward("fcntl64", fd, command, argument);
}
