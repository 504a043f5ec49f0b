// The test-only FTD2XX.dll: the simulated FT232R with a bench of simulated devices behind
// it, behind the fourteen D2XX entry points kestrel.exe loads. The bench is the scenario
// named by the environment variable KESTREL_SIM_SCENARIO (healthy when unset) and runs on
// the real clock. Never part of a release: it only lets kestrel.exe be tested under Wine.
#include "sim/scenario.h"
#include "sim/sim_adapter.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {
constexpr const char* SCENARIO_VARIABLE = "KESTREL_SIM_SCENARIO";
constexpr const char* DEFAULT_SCENARIO = "healthy";
// The adapter's record of calls is of no use here; it is dropped now and then so that a
// long run does not grow without end.
constexpr std::size_t CALL_RECORD_LIMIT = 4096;

// The bench, built at the first call (not while the library is being loaded). A host in
// another module cannot be watched through its status log, so each device is unplugged
// once it hears only the host's slow disconnection pings. nullptr for an unknown name.
sim::Bench* TheBench() {
    static std::unique_ptr<sim::Bench> bench = [] {
        const char* name = std::getenv(SCENARIO_VARIABLE);
        const std::string scenario = name != nullptr && *name != '\0' ? name : DEFAULT_SCENARIO;
        sim::BenchOptions options;
        options.trigger = sim::UnplugTrigger::DeviceSide;
        std::unique_ptr<sim::Bench> made = sim::Bench::Create(scenario, sim::RealTime(), options);
        if (made == nullptr) {
            std::fprintf(stderr, "FTD2XX.dll (simulated): unknown scenario '%s'\n",
                         scenario.c_str());
        }
        return made;
    }();
    return bench.get();
}

// Runs one call on the bench's adapter; without a bench every call fails.
template <typename Call> FT_STATUS OnAdapter(Call call) {
    sim::Bench* bench = TheBench();
    if (bench == nullptr) {
        return FT_DEVICE_NOT_FOUND;
    }
    sim::SimAdapter& adapter = bench->Adapter();
    const FT_STATUS status = call(adapter);
    if (adapter.Calls().size() > CALL_RECORD_LIMIT) {
        adapter.ClearCalls();
    }
    return status;
}
} // namespace

// Exported under the D2XX names by ftd2xx_sim.def; named apart here because the link
// layer's own FT_* functions share this program's namespace.
extern "C" {
FT_STATUS __stdcall SimClose(FT_HANDLE handle) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.Close(handle); });
}
FT_STATUS __stdcall SimCreateDeviceInfoList(uint32_t* count) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.CreateDeviceInfoList(count); });
}
FT_STATUS __stdcall SimOpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.OpenEx(arg, flags, handle); });
}
FT_STATUS __stdcall SimSetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.SetFlowControl(handle, flow, xon, xoff); });
}
FT_STATUS __stdcall SimSetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop,
                                              uint8_t parity) {
    return OnAdapter(
        [&](sim::SimAdapter& a) { return a.SetDataCharacteristics(handle, bits, stop, parity); });
}
FT_STATUS __stdcall SimSetBaudRate(FT_HANDLE handle, uint32_t baud) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.SetBaudRate(handle, baud); });
}
FT_STATUS __stdcall SimSetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.SetLatencyTimer(handle, ms); });
}
FT_STATUS __stdcall SimSetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventOn,
                                uint8_t errorChar, uint8_t errorOn) {
    return OnAdapter([&](sim::SimAdapter& a) {
        return a.SetChars(handle, eventChar, eventOn, errorChar, errorOn);
    });
}
FT_STATUS __stdcall SimSetBreakOn(FT_HANDLE handle) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.SetBreak(handle, true); });
}
FT_STATUS __stdcall SimSetBreakOff(FT_HANDLE handle) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.SetBreak(handle, false); });
}
FT_STATUS __stdcall SimGetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* events) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.GetStatus(handle, rx, tx, events); });
}
FT_STATUS __stdcall SimRead(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.Read(handle, buffer, count, got); });
}
FT_STATUS __stdcall SimWrite(FT_HANDLE handle, const void* buffer, uint32_t length,
                             uint32_t* written) {
    return OnAdapter([&](sim::SimAdapter& a) { return a.Write(handle, buffer, length, written); });
}
FT_STATUS __stdcall SimGetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                                     char* description, void* reserved) {
    return OnAdapter([&](sim::SimAdapter& a) {
        return a.GetDeviceInfo(handle, type, id, serial, description, reserved);
    });
}
}
