// Adapter acquisition and setup.
#include "link/adapter.h"

#include "platform/clock.h"
#include "ui/status_log.h"

FT_HANDLE adapterHandle = nullptr;
uint32_t adapterLost = 0;

int OpenAdapter(bool silent) {
    if (adapterHandle != nullptr) {
        FT_Close(adapterHandle);
    }
    adapterHandle = nullptr;

    uint32_t deviceCount = 0;
    if (FT_CreateDeviceInfoList(&deviceCount) != FT_OK) {
        LogAppend("Error USB adapter invalid");
        return OPEN_LIST_FAILED;
    }

    // D2XX takes the description through an untyped pointer and does not write it.
    if (FT_OpenEx(const_cast<char*>(ADAPTER_DESCRIPTION), FT_OPEN_BY_DESCRIPTION, &adapterHandle) !=
        FT_OK) {
        adapterHandle = nullptr;
        if (!silent) {
            LogAppend("USB adapter connection - Failed");
            LogAppend("Insert USB adapter please.");
        }
        return OPEN_FAILED;
    }

    if (FT_SetFlowControl(adapterHandle, FT_FLOW_NONE, 0, 0) != FT_OK) {
        LogAppend("Error FT_SetFlowControl Failed");
    }
    if (FT_SetDataCharacteristics(adapterHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) !=
        FT_OK) {
        LogAppend("Error FT_SetDataCharacteristics Failed");
    }
    if (FT_SetBaudRate(adapterHandle, LINE_BAUD_RATE) != FT_OK) {
        LogAppend("Error FT_SetBaudRate Failed");
    }

    // An open that reports success without a handle is no open.
    if (adapterHandle == nullptr) {
        return OPEN_FAILED;
    }
    adapterLost = 0;
    LogAppend("USB adapter o.k.");
    return 0;
}

int ConfigureAdapterTimings() {
    int result = 0;
    if (adapterHandle != nullptr && FT_SetLatencyTimer(adapterHandle, LATENCY_TIMER_MS) != FT_OK) {
        LogAppend("\r\n FT_SetLatencyTimer Failed");
        result = TIMING_STEP_FAILED;
    }
    if (adapterHandle != nullptr && FT_SetChars(adapterHandle, EVENT_CHAR, 1, 0, 0) != FT_OK) {
        LogAppend("\r\n FT_SetChars Failed");
        result = TIMING_STEP_FAILED;
    }
    return result;
}

void AcquireAdapter() {
    for (;;) {
        LogClear();
        if (OpenAdapter(false) == 0) {
            break;
        }
        // Quiet retries every 100 ms; a silent success is not kept but starts over, so
        // the fresh log shows the open with its lines.
        const uint32_t start = TickCount();
        do {
            if (OpenAdapter(true) == 0) {
                break;
            }
            SleepMs(ADAPTER_RETRY_MS);
        } while (static_cast<uint32_t>(TickCount() - start) < ADAPTER_RETRY_WINDOW_MS);
    }
    ConfigureAdapterTimings();
}

void PulseBreak() {
    if (adapterHandle != nullptr) {
        FT_SetBreakOn(adapterHandle);
    }
    SleepMs(BREAK_PULSE_MS);
    if (adapterHandle != nullptr) {
        FT_SetBreakOff(adapterHandle);
    }
}

void CloseAdapter() {
    if (adapterHandle != nullptr) {
        FT_Close(adapterHandle);
    }
    adapterHandle = nullptr;
}
