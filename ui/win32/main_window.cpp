// The Windows program's entry point and main window: start-up, the message loop, the
// paint of logo and status log, the arrow-key nudge and the menu commands.
#include "ui/win32/main_window.h"

#include "engine/cycle.h"
#include "link/drivers/d2xx_win32.h"
#include "ui/status_log.h"
#include "ui/win32/resource.h"

#include <cstring>

HWND mainWindow = nullptr;
HINSTANCE instanceHandle = nullptr;
char windowTitle[TITLE_BYTES];
char windowClassName[CLASS_NAME_BYTES];

namespace {
constexpr int WINDOW_Y = 0;
constexpr int WINDOW_WIDTH = 500;
constexpr int WINDOW_HEIGHT = 250;
constexpr int LOGO_X = 300;
constexpr int LOGO_Y = 5;
// The copy is larger than the 160 x 46 logo; what lies beyond the bitmap is whatever
// the platform's copy gives.
constexpr int LOGO_COPY_WIDTH = 450;
constexpr int LOGO_COPY_HEIGHT = 400;
constexpr int LOG_X = 5;
constexpr int LOG_Y = 10;
constexpr int LOG_LINE_HEIGHT = 18;

DWORD WINAPI WorkerEntry(LPVOID parameter) {
    return static_cast<DWORD>(UpdateThread(parameter));
}
} // namespace

void RequestRepaint() {
    InvalidateRect(mainWindow, nullptr, TRUE);
}

ATOM RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(ICON_APP));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEA(RES_MAIN);
    windowClass.lpszClassName = windowClassName;
    windowClass.hIconSm = nullptr;
    return RegisterClassExA(&windowClass);
}

void PaintMainWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC target = BeginPaint(window, &paint);

    HBITMAP logo = LoadBitmapA(instanceHandle, MAKEINTRESOURCEA(BMP_LOGO));
    HDC memory = CreateCompatibleDC(target);
    SelectObject(memory, logo);
    BitBlt(target, LOGO_X, LOGO_Y, LOGO_COPY_WIDTH, LOGO_COPY_HEIGHT, memory, 0, 0, SRCCOPY);
    DeleteDC(memory);
    DeleteObject(logo);

    StatusLog log;
    LogSnapshot(&log);
    for (int k = 0; k < LOG_LINE_COUNT; ++k) {
        const int length = static_cast<int>(strnlen(log.lines[k], LOG_LINE_BYTES));
        if (length > 0) {
            TextOutA(target, LOG_X, LOG_Y + LOG_LINE_HEIGHT * k, log.lines[k], length);
        }
    }
    EndPaint(window, &paint);
}

void NudgeWindow(HWND window, int dx, int dy) {
    RECT frame;
    GetWindowRect(window, &frame);
    MoveWindow(window, frame.left + dx, frame.top + dy, frame.right - frame.left,
               frame.bottom - frame.top, TRUE);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        PaintMainWindow(window);
        return 0;
    case WM_KEYDOWN:
        // Arrow keys nudge the window; every other key is swallowed.
        switch (wParam) {
        case VK_LEFT:
            NudgeWindow(window, -1, 0);
            break;
        case VK_UP:
            NudgeWindow(window, 0, -1);
            break;
        case VK_RIGHT:
            NudgeWindow(window, 1, 0);
            break;
        case VK_DOWN:
            NudgeWindow(window, 0, 1);
            break;
        default:
            break;
        }
        return 0;
    case WM_COMMAND:
        // Only the low word selects the command, so menu and accelerators act alike.
        switch (LOWORD(wParam)) {
        case CMD_ABOUT:
            DialogBoxParamA(instanceHandle, MAKEINTRESOURCEA(DLG_ABOUT), window, AboutDlgProc, 0);
            return 0;
        case CMD_EXIT:
            DestroyWindow(window);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
        }
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    LoadStringA(instance, STR_TITLE, windowTitle, TITLE_BYTES);
    LoadStringA(instance, STR_CLASS, windowClassName, CLASS_NAME_BYTES);
    RegisterMainClass(instance);
    LogClear();
    instanceHandle = instance;

    mainWindow =
        CreateWindowExA(0, windowClassName, windowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                        WINDOW_Y, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance, nullptr);
    LogInstallRepaint(RequestRepaint);
    if (mainWindow == nullptr) {
        return 0;
    }
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(RES_MAIN));

    // The worker reaches the adapter through FTD2XX.dll and the user through this window.
    InstallAdapterDriver(LoadD2xxDriver());
    InstallWin32Host();
    if (CreateThread(nullptr, 0, WorkerEntry, nullptr, 0, nullptr) == nullptr) {
        MessageBoxA(mainWindow, "CreateThread Error !", "Error", MB_ICONERROR);
        return 1;
    }

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0)) {
        if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
