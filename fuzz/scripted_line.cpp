// The scripted adapter of the fuzz targets: a D2XX driver table over a script of bytes.
#include "fuzz/scripted_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/adapter.h"
#include "link/ftd2xx.h"
#include "sim/virtual_clock.h"

namespace fuzzline {
namespace {

Script script;
Counters counters;
bool released = false;
FT_HANDLE const HANDLE = reinterpret_cast<FT_HANDLE>(static_cast<uintptr_t>(0x5C417));

std::size_t AfterAvailable() {
    if (!released) {
        return 0;
    }
    if (script.paceUs == 0) {
        return script.after.size();
    }
    const uint64_t elapsed = sim::VirtualNowUs() - counters.releaseUs;
    const uint64_t n = elapsed / script.paceUs;
    return n < script.after.size() ? static_cast<std::size_t>(n) : script.after.size();
}

std::size_t BeforeQueued() {
    return script.before.size() - counters.beforeRead;
}

FT_STATUS FT_API CloseOk(FT_HANDLE) {
    return FT_OK;
}
FT_STATUS FT_API SetOk(FT_HANDLE, uint8_t, uint8_t, uint8_t) {
    return FT_OK;
}

FT_STATUS FT_API GetStatus(FT_HANDLE h, uint32_t* rx, uint32_t* tx, uint32_t* events) {
    if (h != HANDLE) {
        return FT_INVALID_HANDLE;
    }
    *rx = static_cast<uint32_t>(BeforeQueued() + Queued());
    *tx = 0;
    *events = 0;
    return FT_OK;
}

FT_STATUS FT_API Read(FT_HANDLE h, void* buffer, uint32_t count, uint32_t* got) {
    if (h != HANDLE) {
        return FT_INVALID_HANDLE;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint32_t n = 0;
    while (n < count && BeforeQueued() > 0) {
        out[n++] = script.before[counters.beforeRead++];
    }
    const std::size_t limit = AfterAvailable();
    while (n < count && counters.afterRead < limit) {
        out[n++] = script.after[counters.afterRead++];
    }
    *got = n;
    return FT_OK;
}

FT_STATUS FT_API Write(FT_HANDLE h, const void*, uint32_t length, uint32_t* written) {
    if (h != HANDLE) {
        return FT_INVALID_HANDLE;
    }
    ++counters.writes;
    if (!released) {
        released = true;
        counters.releaseUs = sim::VirtualNowUs();
    }
    if (script.writeFails) {
        *written = 0;
        return FT_IO_ERROR;
    }
    *written = length;
    return FT_OK;
}

FT_STATUS FT_API Probe(FT_HANDLE h, uint32_t* type, uint32_t* id, char* serial, char* description,
                       void*) {
    const int index = counters.probes++;
    if (h != HANDLE || (script.probeFailsAt >= 0 && index >= script.probeFailsAt)) {
        return FT_DEVICE_NOT_FOUND;
    }
    *type = 5;
    *id = 0x04036001;
    std::strcpy(serial, "FUZZ0001");
    std::strcpy(description, "FT232R USB UART");
    return FT_OK;
}

FT_STATUS FT_API Break(FT_HANDLE h) {
    return h == HANDLE ? FT_OK : FT_INVALID_HANDLE;
}

AdapterDriver MakeDriver() {
    AdapterDriver d = *NullAdapterDriver();
    d.Close = CloseOk;
    d.SetDataCharacteristics = SetOk;
    d.SetBreakOn = Break;
    d.SetBreakOff = Break;
    d.GetStatus = GetStatus;
    d.Read = Read;
    d.Write = Write;
    d.GetDeviceInfo = Probe;
    return d;
}

const AdapterDriver driver = MakeDriver();

} // namespace

void Begin(const Script& s) {
    script = s;
    counters = Counters{};
    released = false;
    sim::StartVirtualClock();
    InstallAdapterDriver(&driver);
    adapterHandle = HANDLE;
    adapterLost = 0;
}

std::size_t Queued() {
    return AfterAvailable() - counters.afterRead;
}

const Counters& Count() {
    return counters;
}

void End() {
    adapterHandle = nullptr;
    InstallAdapterDriver(nullptr);
    sim::StopVirtualClock();
}

void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace fuzzline
