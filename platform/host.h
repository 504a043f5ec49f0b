// The host seam: what the update engine needs of the user interface. The Windows program
// maps it to message boxes owned by the main window and a posted exit command; the
// terminal program to prompts; tests to scripted answers.
#pragma once

// Box styles, with the values the Windows message box uses, so the Windows front end can
// pass them on unchanged.
enum : unsigned {
    BOX_OK = 0x0000u,
    BOX_YESNO = 0x0004u,
    BOX_ICONERROR = 0x0010u,
    BOX_ICONQUESTION = 0x0020u,
    BOX_DEFBUTTON2 = 0x0100u,
};

// Answers, again with the Windows values.
enum : int {
    ANSWER_NONE = 0,
    ANSWER_OK = 1,
    ANSWER_CANCEL = 2,
    ANSWER_YES = 6,
    ANSWER_NO = 7,
};

struct HostBackend {
    // Shows a modal message and waits until the user closes it; returns the answer.
    int (*messageBox)(const char* text, const char* caption, unsigned style);
    // Asks the program to end, as the menu's Exit does; returns at once.
    void (*requestExit)();
};

// Shows a message box through the installed host; returns its answer. Without a host it
// shows nothing and returns ANSWER_NONE.
int HostMessageBox(const char* text, const char* caption, unsigned style);

// Asks the installed host to end the program; without a host it does nothing.
void HostRequestExit();

// Installs a host; nullptr removes it. Install before the worker thread starts.
void InstallHost(const HostBackend* backend);
