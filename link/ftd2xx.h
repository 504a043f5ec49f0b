// Our own declarations of the FTDI D2XX calls the program makes, written from what the
// program needs of them. The link layer calls functions with the D2XX names; each one
// forwards to the installed adapter driver: FTD2XX.dll on Windows, the kernel's
// ftdi_sio tty on Linux, or the simulated FT232R in tests.
#pragma once

#include <cstdint>

// D2XX entry points use the stdcall convention on 32-bit Windows.
#if defined(_WIN32) && !defined(_WIN64)
#define FT_API __stdcall
#else
#define FT_API
#endif

typedef uint32_t FT_STATUS;
typedef void* FT_HANDLE;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INVALID_PARAMETER = 6,
    FT_OTHER_ERROR = 18,
};

// FT_OpenEx: the first argument is the USB description string.
constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

// FT_SetDataCharacteristics and FT_SetFlowControl values the program uses.
constexpr uint8_t FT_BITS_8 = 8;
constexpr uint8_t FT_STOP_BITS_1 = 0;
constexpr uint8_t FT_PARITY_NONE = 0;
constexpr uint16_t FT_FLOW_NONE = 0x0000;

// Size of each text area FT_GetDeviceInfo fills (serial number, description).
constexpr uint32_t FT_INFO_TEXT_BYTES = 260;

FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_CreateDeviceInfoList(uint32_t* deviceCount);
FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t xon, uint8_t xoff);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                    uint8_t parity);
FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baudRate);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latencyMs);
FT_STATUS FT_SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled,
                      uint8_t errorChar, uint8_t errorCharEnabled);
FT_STATUS FT_SetBreakOn(FT_HANDLE handle);
FT_STATUS FT_SetBreakOff(FT_HANDLE handle);
FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t* rxQueued, uint32_t* txQueued, uint32_t* events);
FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* bytesRead);
FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t length, uint32_t* bytesWritten);
FT_STATUS FT_GetDeviceInfo(FT_HANDLE handle, uint32_t* deviceType, uint32_t* deviceId,
                           char* serialNumber, char* description, void* reserved);

// One adapter driver: a pointer per call, with the D2XX argument shapes, so the Windows
// driver can store the entry points of FTD2XX.dll in it as they are.
struct AdapterDriver {
    FT_STATUS(FT_API* Close)(FT_HANDLE);
    FT_STATUS(FT_API* CreateDeviceInfoList)(uint32_t*);
    FT_STATUS(FT_API* OpenEx)(void*, uint32_t, FT_HANDLE*);
    FT_STATUS(FT_API* SetFlowControl)(FT_HANDLE, uint16_t, uint8_t, uint8_t);
    FT_STATUS(FT_API* SetDataCharacteristics)(FT_HANDLE, uint8_t, uint8_t, uint8_t);
    FT_STATUS(FT_API* SetBaudRate)(FT_HANDLE, uint32_t);
    FT_STATUS(FT_API* SetLatencyTimer)(FT_HANDLE, uint8_t);
    FT_STATUS(FT_API* SetChars)(FT_HANDLE, uint8_t, uint8_t, uint8_t, uint8_t);
    FT_STATUS(FT_API* SetBreakOn)(FT_HANDLE);
    FT_STATUS(FT_API* SetBreakOff)(FT_HANDLE);
    FT_STATUS(FT_API* GetStatus)(FT_HANDLE, uint32_t*, uint32_t*, uint32_t*);
    FT_STATUS(FT_API* Read)(FT_HANDLE, void*, uint32_t, uint32_t*);
    FT_STATUS(FT_API* Write)(FT_HANDLE, const void*, uint32_t, uint32_t*);
    FT_STATUS(FT_API* GetDeviceInfo)(FT_HANDLE, uint32_t*, uint32_t*, char*, char*, void*);
};

// Installs a driver; nullptr restores the null driver, in which every call fails with
// FT_DEVICE_NOT_FOUND. A table with a missing entry behaves as the null driver for that
// call. Install before the worker thread starts.
void InstallAdapterDriver(const AdapterDriver* driver);

// The driver now installed (the null driver when none is).
const AdapterDriver* InstalledAdapterDriver();

// The null driver itself, for drivers that fall back on it.
const AdapterDriver* NullAdapterDriver();
