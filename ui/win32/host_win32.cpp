// The host seam on Windows: the worker's message boxes are owned by the main window, and
// its exit request is the menu's Exit command posted to that window.
#include "platform/host.h"
#include "ui/win32/main_window.h"
#include "ui/win32/resource.h"

namespace {
int Win32MessageBox(const char* text, const char* caption, unsigned style) {
    return MessageBoxA(mainWindow, text, caption, style);
}

void Win32RequestExit() {
    PostMessageA(mainWindow, WM_COMMAND, CMD_EXIT, 0);
}

const HostBackend win32Host{Win32MessageBox, Win32RequestExit};
} // namespace

void InstallWin32Host() {
    InstallHost(&win32Host);
}
