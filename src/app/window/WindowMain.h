// The windowed program: needs a display.
#pragma once

#include "runtime/ServerOptions.h"

namespace tv {
struct SharedFolderSet;
}

// Runs the whole program with its window and returns the exit code: 1 when the server could
// not start. The window edits `folders` and its server reads them. `argv` may carry Qt's own
// options (-platform, -display ...), which are taken out.
int TindravollerWindow_Main(int argc, char** argv, const tv::ServerOptions& options,
                            tv::SharedFolderSet& folders);
