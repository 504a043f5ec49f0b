// The Windows adapter driver: the entry points of FTD2XX.dll, resolved at run time and
// stored as they are in an adapter-driver table (they are stdcall, as the table's pointer
// types say on 32-bit Windows).
#include "link/drivers/d2xx_win32.h"

#include <windows.h>

namespace {
constexpr const char* D2XX_LIBRARY = "FTD2XX.dll";

AdapterDriver d2xxDriver;

// Resolves one entry point into a table member; false when the DLL lacks it.
template <typename Fn> bool Resolve(HMODULE library, const char* name, Fn* member) {
    FARPROC entry = GetProcAddress(library, name);
    if (entry == nullptr) {
        return false;
    }
    // GetProcAddress gives an untyped pointer; the table's type is the entry's own.
    *member = reinterpret_cast<Fn>(reinterpret_cast<void*>(entry));
    return true;
}
} // namespace

const AdapterDriver* LoadD2xxDriver() {
    // The default search of a safe load: the program's folder and System32, never the
    // current directory, so a planted DLL in a working folder is not picked up.
    HMODULE library = LoadLibraryExA(D2XX_LIBRARY, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (library == nullptr) {
        return NullAdapterDriver();
    }
    AdapterDriver table{};
    const bool complete =
        Resolve(library, "FT_Close", &table.Close) &&
        Resolve(library, "FT_CreateDeviceInfoList", &table.CreateDeviceInfoList) &&
        Resolve(library, "FT_OpenEx", &table.OpenEx) &&
        Resolve(library, "FT_SetFlowControl", &table.SetFlowControl) &&
        Resolve(library, "FT_SetDataCharacteristics", &table.SetDataCharacteristics) &&
        Resolve(library, "FT_SetBaudRate", &table.SetBaudRate) &&
        Resolve(library, "FT_SetLatencyTimer", &table.SetLatencyTimer) &&
        Resolve(library, "FT_SetChars", &table.SetChars) &&
        Resolve(library, "FT_SetBreakOn", &table.SetBreakOn) &&
        Resolve(library, "FT_SetBreakOff", &table.SetBreakOff) &&
        Resolve(library, "FT_GetStatus", &table.GetStatus) &&
        Resolve(library, "FT_Read", &table.Read) && Resolve(library, "FT_Write", &table.Write) &&
        Resolve(library, "FT_GetDeviceInfo", &table.GetDeviceInfo);
    if (!complete) {
        // A partial library is as good as none: every call fails, the device list first.
        FreeLibrary(library);
        return NullAdapterDriver();
    }
    d2xxDriver = table;
    return &d2xxDriver;
}
