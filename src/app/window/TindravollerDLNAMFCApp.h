// The application object: prepares the process and shows the main window until it closes.
#pragma once

class CTindravollerDLNAMFCApp {
public:
    // Needs a QApplication. Shows the window modally; returns the exit code when it closes.
    int InitInstance() noexcept;
};
