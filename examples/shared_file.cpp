// A service and an administrator edit one settings file at the same time,
// and neither loses the other's change. The service defers its writes; while
// its change is still only in memory, it runs the administrator's command
// (the rest of its command line, typically vty-ini), which edits the same
// file. The service's next flush merges its own change into what the command
// left, and a reload picks up the command's edit without a restart.
//
//   shared_file FILE COMMAND [ARGUMENT...]

#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "config/INI.h"
#include "config/Settings.h"

namespace ini = vty::config::ini;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: shared_file FILE COMMAND [ARGUMENT...]\n";
    return 2;
  }
  const std::string file = argv[1];
  ini::InitialiseAsyncWriting();
  ini::Settings settings(file);  // the same document the free functions use
  const std::string port = settings.Get("Net", "Port", "80");
  settings.Set("Service", "LastPort", port);  // not saved yet
  std::cout << "service: noted LastPort=" << port << ", not saved yet\n";

  const pid_t admin = ::fork();
  if (admin == 0) {
    ::execvp(argv[2], argv + 2);
    ::_exit(127);
  }
  int status = 0;
  if (admin < 0 || ::waitpid(admin, &status, 0) != admin || status != 0) {
    std::cerr << "shared_file: the command failed\n";
    return 1;
  }

  settings.Flush();   // merges the command's edit with the service's change
  settings.Reload();  // nothing new on disk: the flush already read it in
  std::cout << "service: saved; now reads Port="
            << settings.Get("Net", "Port", "80")
            << " and LastPort=" << settings.Get("Service", "LastPort", "")
            << '\n';
  ini::ShutdownAsyncWriting();
  return 0;
}
