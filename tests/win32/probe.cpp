// kestrel-probe.exe: a test-only console helper run under Wine beside kestrel.exe. It
// reports what the user interface holds, as USER32 shows it to any other program: the
// main window's title, frame, client area and menu; every dialog and message box with
// its controls and list entries; and it renders a text with the font the main window
// paints with, so the test can find that text in a screenshot.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr const char* MAIN_CLASS = "KESTREL";
constexpr const char* DIALOG_CLASS = "#32770";
constexpr const char* POPUP_MENU_CLASS = "#32768";
constexpr int TEXT_BYTES = 4096;

std::string WindowText(HWND window) {
    std::vector<char> text(TEXT_BYTES);
    // WM_GETTEXT rather than GetWindowText: it reads controls of other processes too.
    SendMessageA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    return text.data();
}

std::string ClassOf(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Control characters are written as \r and \n so that each report item stays one line.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void PrintRect(const char* key, const RECT& r) {
    printf("%s=%ld,%ld,%ld,%ld\n", key, r.left, r.top, r.right, r.bottom);
}

void PrintMenu(HMENU menu, const std::string& path) {
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = "";
        GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        HMENU sub = GetSubMenu(menu, i);
        const std::string item = path.empty() ? text : path + " > " + text;
        if (sub != nullptr) {
            PrintMenu(sub, item);
        } else {
            printf("menu=%s=%u\n", item.c_str(), GetMenuItemID(menu, i));
        }
    }
}

int ReportMain() {
    HWND window = FindWindowA(MAIN_CLASS, nullptr);
    if (window == nullptr) {
        return 1;
    }
    printf("title=%s\n", WindowText(window).c_str());
    RECT frame;
    GetWindowRect(window, &frame);
    PrintRect("window", frame);
    RECT client;
    GetClientRect(window, &client);
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    printf("client=%ld,%ld,%ld,%ld\n", origin.x, origin.y, origin.x + client.right,
           origin.y + client.bottom);
    printf("visible=%d\n", IsWindowVisible(window) ? 1 : 0);
    PrintMenu(GetMenu(window), "");
    return 0;
}

// The screen point of a dialog's caption close button, found by asking the dialog itself.
bool FindCloseButton(HWND dialog, POINT* at) {
    RECT frame;
    GetWindowRect(dialog, &frame);
    for (int y = frame.top; y < frame.top + 40 && y < frame.bottom; y += 2) {
        for (int x = frame.right - 1; x > frame.right - 80 && x > frame.left; x -= 2) {
            const LRESULT hit = SendMessageA(dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y));
            if (hit == HTCLOSE) {
                at->x = x - 4; // a little inside the button
                at->y = y + 4;
                return SendMessageA(dialog, WM_NCHITTEST, 0, MAKELPARAM(at->x, at->y)) == HTCLOSE;
            }
        }
    }
    return false;
}

BOOL CALLBACK ReportChild(HWND child, LPARAM) {
    RECT r;
    GetWindowRect(child, &r);
    const std::string cls = ClassOf(child);
    printf("control id=%d class=%s rect=%ld,%ld,%ld,%ld style=%08lx text=%s\n", GetDlgCtrlID(child),
           cls.c_str(), r.left, r.top, r.right, r.bottom,
           static_cast<unsigned long>(GetWindowLongA(child, GWL_STYLE)),
           Escaped(WindowText(child)).c_str());
    if (_stricmp(cls.c_str(), "ListBox") == 0) {
        const LRESULT count = SendMessageA(child, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            // The wide form: an ANSI request across processes is not converted back.
            std::vector<wchar_t> wide(TEXT_BYTES);
            SendMessageW(child, LB_GETTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(wide.data()));
            std::vector<char> text(TEXT_BYTES);
            WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, text.data(),
                                static_cast<int>(text.size()), nullptr, nullptr);
            printf("item=%s\n", text.data());
        }
    }
    return TRUE;
}

BOOL CALLBACK ReportDialog(HWND window, LPARAM) {
    if (!IsWindowVisible(window)) {
        return TRUE;
    }
    if (ClassOf(window) == POPUP_MENU_CLASS) {
        RECT frame;
        GetWindowRect(window, &frame);
        PrintRect("popup", frame);
        return TRUE;
    }
    if (ClassOf(window) != DIALOG_CLASS) {
        return TRUE;
    }
    printf("dialog=%s\n", Escaped(WindowText(window)).c_str());
    RECT frame;
    GetWindowRect(window, &frame);
    PrintRect("rect", frame);
    HWND owner = GetWindow(window, GW_OWNER);
    printf("owner=%s\n", owner != nullptr ? ClassOf(owner).c_str() : "");
    POINT close;
    if (FindCloseButton(window, &close)) {
        printf("close=%ld,%ld\n", close.x, close.y);
    }
    EnumChildWindows(window, ReportChild, 0);
    printf("end\n");
    return TRUE;
}

// Renders text as TextOutA draws it on a fresh paint context (default font, black on the
// window colour, opaque) and writes it as a binary PPM file.
int Render(const char* text, const char* path) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    SIZE size;
    const int length = static_cast<int>(strlen(text));
    GetTextExtentPoint32A(memory, text, length, &size);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all{0, 0, size.cx, size.cy};
    FillRect(memory, &all, GetSysColorBrush(COLOR_WINDOW));
    TextOutA(memory, 0, 0, text, length);
    GdiFlush();
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        return 1;
    }
    fprintf(out, "P6\n%ld %ld\n255\n", size.cx, size.cy);
    const auto* pixels = static_cast<const unsigned char*>(bits);
    for (long i = 0; i < size.cx * size.cy; ++i) {
        const unsigned char rgb[3] = {pixels[4 * i + 2], pixels[4 * i + 1], pixels[4 * i]};
        fwrite(rgb, 1, 3, out);
    }
    fclose(out);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    printf("size=%ld,%ld\n", size.cx, size.cy);
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    int result = 2;
    if (command == "main") {
        result = ReportMain();
    } else if (command == "dialogs") {
        EnumWindows(ReportDialog, 0);
        result = 0;
    } else if (command == "render" && argc == 4) {
        result = Render(argv[2], argv[3]);
    } else {
        fprintf(stderr, "usage: kestrel-probe main | dialogs | render TEXT FILE.ppm\n");
    }
    fflush(stdout);
    return result;
}
