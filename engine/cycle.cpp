// The update cycle and the worker. A cycle finds and identifies the device, runs a bridge
// pass for the device behind it when bridge mode is granted, then the main pass; the
// worker runs cycles back to back and tells the user how each one ended.
#include "engine/cycle.h"

#include <cstdio>
#include <cstring>

#include "catalogue/catalogue.h"
#include "engine/identify.h"
#include "engine/program.h"
#include "link/adapter.h"
#include "link/frame.h"
#include "link/presence.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "ui/status_log.h"

namespace {

// Appends as much of `piece` as fits into the NUL-terminated text of capacity `size`;
// the text always stays terminated inside its area.
void AppendText(char* text, std::size_t size, const char* piece) {
    const void* end = std::memchr(text, '\0', size);
    if (end == nullptr) {
        return;
    }
    const std::size_t used = static_cast<std::size_t>(static_cast<const char*>(end) - text);
    const std::size_t room = size - 1 - used;
    std::size_t n = std::strlen(piece);
    if (n > room) {
        n = room;
    }
    std::memcpy(text + used, piece, n);
    text[used + n] = '\0';
}

// Shown when the main pass has no image for the device: the device's identity and the
// devices the catalogue supports.
void ShowUnsupportedDevice() {
    static char report[REPORT_BYTES];
    report[0] = '\0';
    AppendText(report, sizeof report, "Firmware for your device is not included.");
    AppendText(report, sizeof report, "\r\n");
    AppendText(report, sizeof report, "Your device:");
    AppendText(report, sizeof report, " ");
    char id[DEVICE_ID_CHARS + 1];
    FormatDeviceId(id);
    AppendText(report, sizeof report, id);
    AppendText(report, sizeof report, "\r\n\r\n");
    AppendText(report, sizeof report, "Supported devices:");
    AppendText(report, sizeof report, "\r\n");
    AppendSupportedList(report, sizeof report);
    HostMessageBox(report, "Unsupported device", BOX_ICONERROR | BOX_OK);
}

// The bridge pass: the device behind the one that granted bridge mode is searched,
// identified, programmed and finalised while bridge mode is on.
int BridgePass() {
    LogAppend("Bridge mode activated");
    int result = SearchDevice(BRIDGE_SEARCH_RUNS);
    if (result != 0) {
        return result;
    }
    result = GetDeviceInfo();
    if (result != 0) {
        return result;
    }
    ShowDeviceId();
    finalLength = 0;
    result = flash_prog();
    if (result != 0) {
        return result;
    }
    result = GetDeviceInfo();
    if (result != 0) {
        return result;
    }
    ShowDeviceId();
    return SendFinalPacket();
}

} // namespace

int RequestBridgeMode() {
    const uint8_t* request = CurrentCatalogue().bridgeRequest;
    txLength = request[1];
    std::memcpy(txBuffer, request + 2, txLength);
    // Any reply the exchange accepts is acceptance; its contents are not looked at.
    for (int attempt = 0; attempt < BRIDGE_ATTEMPTS; ++attempt) {
        if (Transact(REPLY_TIMEOUT_MS) == EXCHANGE_OK) {
            return 0;
        }
    }
    return RESULT_BRIDGE_REFUSED;
}

void AppendSupportedList(char* text, std::size_t size) {
    const CatalogueSlot* slots = CurrentCatalogue().slots;
    char line[REPORT_LINE_BYTES];
    line[0] = '\0';
    bool first = true;
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (slots[slot].name == nullptr || slots[slot].image == nullptr ||
            slots[slot].image[IMAGE_STATUS_OFFSET] != IMAGE_VALID) {
            continue;
        }
        if (!first) {
            if (std::strlen(line) > SUPPORTED_LINE_WRAP) {
                AppendText(line, sizeof line, ",\r\n");
                AppendText(text, size, line);
                line[0] = '\0';
            } else {
                AppendText(line, sizeof line, ", ");
            }
        }
        first = false;
        const FirmwareImage image = slots[slot].image;
        char entry[REPORT_LINE_BYTES];
        std::snprintf(entry, sizeof entry, "%s (H:%02X%02X)", slots[slot].name,
                      static_cast<unsigned>(image[IMAGE_CODE_H_OFFSET + 1]),
                      static_cast<unsigned>(image[IMAGE_CODE_H_OFFSET]));
        AppendText(line, sizeof line, entry);
    }
    AppendText(text, size, line);
}

int UpdateCycle() {
    AcquireAdapter();
    PulseBreak();
    int result = SearchDevice(SEARCH_RUNS);
    if (result != 0) {
        return result;
    }
    result = GetDeviceInfo();
    if (result != 0) {
        return result;
    }
    ShowDeviceId();

    const int bridge = RequestBridgeMode();
    if (bridge == 0) {
        result = BridgePass();
        if (result != 0) {
            return result;
        }
    }

    PulseBreak();
    SleepMs(AFTER_BREAK_MS);
    result = GetDeviceInfo();
    if (result != 0) {
        return result;
    }
    if (bridge == 0) {
        ShowDeviceId();
    }
    finalLength = 0;
    result = flash_prog();
    if (result == RESULT_NO_IMAGE) {
        ShowUnsupportedDevice();
        return result;
    }
    if (result != 0) {
        return result;
    }
    result = GetDeviceInfo();
    if (result != 0) {
        return result;
    }
    ShowDeviceId();
    return SendFinalPacket();
}

unsigned UpdateThread(void* unused) {
    (void)unused;
    for (;;) {
        const int result = UpdateCycle();
        if (result == RESULT_NO_DEVICE) {
            continue;
        }
        if (result == 0) {
            LogAppend("");
            LogAppend("Update done o.k.");
            LogAppend("Disconnect device please.");
            WaitForDisconnect();
            CloseAdapter();
            const int answer = HostMessageBox("Update another device?", "Update done o.k.",
                                              BOX_YESNO | BOX_ICONQUESTION | BOX_DEFBUTTON2);
            if (answer != ANSWER_YES) {
                HostRequestExit();
                return 0;
            }
            continue;
        }
        LogAppend("Update error. Try again please.");
        SleepMs(ERROR_PAUSE_MS);
        WaitForDisconnect();
        CloseAdapter();
    }
}
