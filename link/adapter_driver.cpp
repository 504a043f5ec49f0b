// The adapter-driver seam: the D2XX-named calls forward to the installed table. The
// default is a null driver in which every call fails, so a program without a driver
// reports a missing adapter instead of crashing.
#include "link/ftd2xx.h"

namespace {
FT_STATUS FT_API NullClose(FT_HANDLE) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullCreateDeviceInfoList(uint32_t* count) {
    if (count != nullptr) {
        *count = 0;
    }
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullOpenEx(void*, uint32_t, FT_HANDLE* handle) {
    if (handle != nullptr) {
        *handle = nullptr;
    }
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetFlowControl(FT_HANDLE, uint16_t, uint8_t, uint8_t) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetBaudRate(FT_HANDLE, uint32_t) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetLatencyTimer(FT_HANDLE, uint8_t) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetChars(FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullSetBreak(FT_HANDLE) {
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullGetStatus(FT_HANDLE, uint32_t* rx, uint32_t* tx, uint32_t* events) {
    if (rx != nullptr) {
        *rx = 0;
    }
    if (tx != nullptr) {
        *tx = 0;
    }
    if (events != nullptr) {
        *events = 0;
    }
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullRead(FT_HANDLE, void*, uint32_t, uint32_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullWrite(FT_HANDLE, const void*, uint32_t, uint32_t* bytesWritten) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API NullGetDeviceInfo(FT_HANDLE, uint32_t*, uint32_t*, char*, char*, void*) {
    return FT_DEVICE_NOT_FOUND;
}

const AdapterDriver nullDriver{
    NullClose,
    NullCreateDeviceInfoList,
    NullOpenEx,
    NullSetFlowControl,
    NullSetDataCharacteristics,
    NullSetBaudRate,
    NullSetLatencyTimer,
    NullSetChars,
    NullSetBreak,
    NullSetBreak,
    NullGetStatus,
    NullRead,
    NullWrite,
    NullGetDeviceInfo,
};

const AdapterDriver* installedDriver = &nullDriver;

// The entry of the installed table, or the null driver's when the table lacks it.
template <typename Fn> Fn Pick(Fn AdapterDriver::*member) {
    Fn fn = installedDriver->*member;
    return fn != nullptr ? fn : nullDriver.*member;
}
} // namespace

void InstallAdapterDriver(const AdapterDriver* driver) {
    installedDriver = driver != nullptr ? driver : &nullDriver;
}

const AdapterDriver* InstalledAdapterDriver() {
    return installedDriver;
}

const AdapterDriver* NullAdapterDriver() {
    return &nullDriver;
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    return Pick(&AdapterDriver::Close)(handle);
}

FT_STATUS FT_CreateDeviceInfoList(uint32_t* deviceCount) {
    return Pick(&AdapterDriver::CreateDeviceInfoList)(deviceCount);
}

FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    return Pick(&AdapterDriver::OpenEx)(arg, flags, handle);
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
    return Pick(&AdapterDriver::SetFlowControl)(handle, flowControl, xon, xoff);
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity) {
    return Pick(&AdapterDriver::SetDataCharacteristics)(handle, wordLength, stopBits, parity);
}

FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate) {
    return Pick(&AdapterDriver::SetBaudRate)(handle, baudRate);
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latencyMs) {
    return Pick(&AdapterDriver::SetLatencyTimer)(handle, latencyMs);
}

FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                      uint8_t errorChar, uint8_t errorCharEnabled) {
    return Pick(&AdapterDriver::SetChars)(handle, eventChar, eventCharEnabled, errorChar,
                                          errorCharEnabled);
}

FT_STATUS FT_SetBreakOn(FT_HANDLE handle) {
    return Pick(&AdapterDriver::SetBreakOn)(handle);
}

FT_STATUS FT_SetBreakOff(FT_HANDLE handle) {
    return Pick(&AdapterDriver::SetBreakOff)(handle);
}

FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t* rxQueued, uint32_t* txQueued, uint32_t* events) {
    return Pick(&AdapterDriver::GetStatus)(handle, rxQueued, txQueued, events);
}

FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* bytesRead) {
    return Pick(&AdapterDriver::Read)(handle, buffer, count, bytesRead);
}

FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t length, uint32_t* bytesWritten) {
    return Pick(&AdapterDriver::Write)(handle, buffer, length, bytesWritten);
}

FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* deviceType, uint32_t* deviceId,
                           char* serialNumber, char* description, void* reserved) {
    return Pick(&AdapterDriver::GetDeviceInfo)(handle, deviceType, deviceId, serialNumber,
                                               description, reserved);
}
