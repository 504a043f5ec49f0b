// The simulated FT232R adapter as D2XX shows it, installed in the adapter-driver seam.
// It keeps a record of every driver call with the time it was made at, so a test can
// assert the exact call sequence and timing. The wire and the device hang off it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/ftd2xx.h"
#include "sim/virtual_clock.h"
#include "sim/wire.h"

namespace sim {

struct DriverCall {
    std::string name; // the D2XX name, "FT_OpenEx"
    uint64_t atUs;    // time of the call on the simulator's time source
};

// What the adapter does when asked; a test changes it between calls as it likes.
struct AdapterBehaviour {
    bool plugged = true;            // an FT232R is on the USB bus
    bool listFails = false;         // FT_CreateDeviceInfoList fails
    bool openGivesNoHandle = false; // FT_OpenEx reports success but gives no handle
    bool flowFails = false;         // FT_SetFlowControl fails
    bool dataFails = false;         // FT_SetDataCharacteristics fails
    bool baudFails = false;         // FT_SetBaudRate fails
    bool latencyFails = false;      // FT_SetLatencyTimer fails
    bool charsFails = false;        // FT_SetChars fails
    // The adapter is lost (pulled while open): writes, reads, the status call and the
    // FT_GetDeviceInfo probe fail on the handle it gave.
    bool lost = false;
    int64_t loseAfterCalls = -1; // countdown: this many more calls work, then lost (-1 off)
};

class SimAdapter {
  public:
    explicit SimAdapter(const TimeSource* time);
    ~SimAdapter();
    SimAdapter(const SimAdapter&) = delete;
    SimAdapter& operator=(const SimAdapter&) = delete;

    // Installs this adapter as the program's driver; the destructor uninstalls it. One
    // simulated adapter is installed at a time.
    void Install();

    AdapterBehaviour behaviour;

    // Changes plugged at the given time; applied lazily at the first call from then on.
    void PlugAt(uint64_t us);
    void UnplugAt(uint64_t us);

    const std::vector<DriverCall>& Calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }
    // Names of the calls made so far, in order, for compact assertions.
    std::vector<std::string> CallNames() const;

    bool BreakOn() const { return breakOn_; }
    bool IsOpen() const { return openHandle_ != 0; }
    uint32_t BaudRate() const { return baudRate_; }
    uint8_t LatencyMs() const { return latencyMs_; }
    uint8_t EventChar() const { return eventChar_; }
    bool EventCharEnabled() const { return eventCharEnabled_; }

    const TimeSource* Time() const { return time_; }

    // Connects the line: FT_Write queues on it and then waits on the time source until no
    // more than 256 bytes of the write are still to go out; FT_GetStatus and FT_Read see
    // its receive queue; the break calls put a break on it. nullptr: no line (reads find
    // nothing, writes vanish).
    void AttachWire(Wire* wire) { wire_ = wire; }
    Wire* AttachedWire() const { return wire_; }

    // The driver entry points call these.
    FT_STATUS Close(FT_HANDLE handle);
    FT_STATUS CreateDeviceInfoList(uint32_t* count);
    FT_STATUS OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle);
    FT_STATUS SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff);
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t bits, uint8_t stop, uint8_t parity);
    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud);
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms);
    FT_STATUS SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventOn, uint8_t errorChar,
                       uint8_t errorOn);
    FT_STATUS SetBreak(FT_HANDLE handle, bool on);
    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* events);
    FT_STATUS Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got);
    FT_STATUS Write(FT_HANDLE handle, const void* buffer, uint32_t length, uint32_t* written);
    FT_STATUS GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                            char* description, void* reserved);

  private:
    void Record(const char* name);
    void ApplySchedule(uint64_t now);
    bool Valid(FT_HANDLE handle) const;
    bool Working(FT_HANDLE handle) const { return Valid(handle) && !behaviour.lost; }

    struct PlugChange {
        uint64_t atUs;
        bool plugged;
    };

    const TimeSource* time_;
    Wire* wire_ = nullptr;
    std::vector<DriverCall> calls_;
    std::vector<PlugChange> schedule_;
    uintptr_t openHandle_ = 0; // 0: none open
    uintptr_t nextHandle_ = 0x100;
    bool breakOn_ = false;
    uint32_t baudRate_ = 9600;
    uint8_t latencyMs_ = 16;
    uint8_t eventChar_ = 0;
    bool eventCharEnabled_ = false;
};

} // namespace sim
