// The windowed program: needs a display.
#pragma once

#include "runtime/ServerOptions.h"

// Runs the whole program with its window and returns the exit code. `argv` may carry
// Qt's own options (-platform, -display ...), which are taken out. The server serves as
// `options` say.
int TindravollerWindow_Main(int argc, char** argv, const tv::ServerOptions& options);
