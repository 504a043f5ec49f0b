// The Windows program's main thread: the one main window with the logo and the status
// log, its menu, keyboard handling and the About dialog, and the start of the worker.
#pragma once

#include <windows.h>

constexpr int TITLE_BYTES = 100;
constexpr int CLASS_NAME_BYTES = 100;

// The main window: none until WinMain has created it, then never changed. The status
// log's repaint request, the worker's message boxes and its exit command all use it.
extern HWND mainWindow;
// The program's module; the paint and the About command load resources through it.
extern HINSTANCE instanceHandle;
extern char windowTitle[TITLE_BYTES];
extern char windowClassName[CLASS_NAME_BYTES];

// Registers the main window class with its icon, cursor, background and menu. Returns
// the class atom, 0 on failure.
ATOM RegisterMainClass(HINSTANCE instance);

// The main window's procedure: paint, arrow keys, the menu commands and destruction.
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Handles one repaint: the logo at (300, 5), then the ten log lines at y = 10 + 18 k.
void PaintMainWindow(HWND window);

// Moves the window by dx, dy screen pixels, keeping its size.
void NudgeWindow(HWND window, int dx, int dy);

// The About dialog: lists the catalogue's named slots in slot order; OK, Enter, Esc and
// the close button end it. Returns TRUE for the messages it handles, FALSE otherwise.
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The status log's repaint request: invalidates the whole client area of mainWindow
// with background erase.
void RequestRepaint();

// The host seam for the worker: message boxes owned by mainWindow and the posted exit
// command.
void InstallWin32Host();
