#include "app/Desktop.h"

#include <cstdio>

namespace kvo {

int RunDesktop(int, char**) {
  // TODO: the main window arrives with the user interface; until then a
  // start without "/shuffle" or "/uninst" has nothing to show, and says so
  // instead of pretending to have done something.
  std::fputs(
      "kvopanoramics: the desktop window is not part of this build yet.\n"
      "The logos and the picture store can be managed with the command-line\n"
      "companion: see `kvo --help`.\n",
      stderr);
  return 1;
}

}  // namespace kvo
