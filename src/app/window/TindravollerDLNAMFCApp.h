// The application object: prepares the process and shows the main window until it closes.
#pragma once

#include "runtime/ServerOptions.h"

namespace tv {
struct SharedFolderSet;
}

class CTindravollerDLNAMFCApp {
public:
    // Needs a QApplication. Shows the window modally; returns the exit code when it closes.
    int InitInstance(const tv::ServerOptions& options, tv::SharedFolderSet& folders) noexcept;
};
