// The windowed program: needs a display.
#pragma once

// Runs the whole program with its window and returns the exit code. `argv` may carry
// Qt's own options (-platform, -display ...), which are taken out.
int TindravollerWindow_Main(int argc, char** argv);
