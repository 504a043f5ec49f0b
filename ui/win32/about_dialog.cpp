// The About dialog: the program's name and version and the list of firmware the
// compiled-in catalogue holds, one entry per named slot in slot order.
#include "catalogue/catalogue.h"
#include "ui/win32/main_window.h"
#include "ui/win32/resource.h"

#include <cstdio>

namespace {
constexpr int ENTRY_BYTES = 260;

void FillFirmwareList(HWND dialog) {
    SendDlgItemMessageA(dialog, LIST_FIRMWARE, LB_RESETCONTENT, 0, 0);
    const CatalogueSlot* slots = FirmwareCatalogue;
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (slots[slot].name == nullptr) {
            continue;
        }
        char entry[ENTRY_BYTES];
        snprintf(entry, sizeof entry, "%s ver. %02X.%02X", slots[slot].name, slots[slot].version[1],
                 slots[slot].version[0]);
        // Inserting at the end does not sort, so the entries keep slot order although the
        // list has the sorted style.
        SendDlgItemMessageA(dialog, LIST_FIRMWARE, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                            reinterpret_cast<LPARAM>(entry));
    }
}
} // namespace

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        FillFirmwareList(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
