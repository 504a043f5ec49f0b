// The simulated FT232R adapter.
#include "sim/sim_adapter.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {
SimAdapter* installed = nullptr;

FT_STATUS FT_API SimClose(FT_HANDLE h) {
    return installed->Close(h);
}
FT_STATUS FT_API SimCreateDeviceInfoList(uint32_t* n) {
    return installed->CreateDeviceInfoList(n);
}
FT_STATUS FT_API SimOpenEx(void* a, uint32_t f, FT_HANDLE* h) {
    return installed->OpenEx(a, f, h);
}
FT_STATUS FT_API SimSetFlowControl(FT_HANDLE h, uint16_t f, uint8_t x, uint8_t y) {
    return installed->SetFlowControl(h, f, x, y);
}
FT_STATUS FT_API SimSetDataCharacteristics(FT_HANDLE h, uint8_t b, uint8_t s, uint8_t p) {
    return installed->SetDataCharacteristics(h, b, s, p);
}
FT_STATUS FT_API SimSetBaudRate(FT_HANDLE h, uint32_t b) {
    return installed->SetBaudRate(h, b);
}
FT_STATUS FT_API SimSetLatencyTimer(FT_HANDLE h, uint8_t ms) {
    return installed->SetLatencyTimer(h, ms);
}
FT_STATUS FT_API SimSetChars(FT_HANDLE h, uint8_t e, uint8_t eo, uint8_t r, uint8_t ro) {
    return installed->SetChars(h, e, eo, r, ro);
}
FT_STATUS FT_API SimSetBreakOn(FT_HANDLE h) {
    return installed->SetBreak(h, true);
}
FT_STATUS FT_API SimSetBreakOff(FT_HANDLE h) {
    return installed->SetBreak(h, false);
}
FT_STATUS FT_API SimGetStatus(FT_HANDLE h, uint32_t* rx, uint32_t* tx, uint32_t* ev) {
    return installed->GetStatus(h, rx, tx, ev);
}
FT_STATUS FT_API SimRead(FT_HANDLE h, void* b, uint32_t n, uint32_t* got) {
    return installed->Read(h, b, n, got);
}
FT_STATUS FT_API SimWrite(FT_HANDLE h, const void* b, uint32_t n, uint32_t* written) {
    return installed->Write(h, b, n, written);
}
FT_STATUS FT_API SimGetDeviceInfo(FT_HANDLE h, uint32_t* t, uint32_t* i, char* s, char* d,
                                  void* r) {
    return installed->GetDeviceInfo(h, t, i, s, d, r);
}

const AdapterDriver simDriver{
    SimClose,
    SimCreateDeviceInfoList,
    SimOpenEx,
    SimSetFlowControl,
    SimSetDataCharacteristics,
    SimSetBaudRate,
    SimSetLatencyTimer,
    SimSetChars,
    SimSetBreakOn,
    SimSetBreakOff,
    SimGetStatus,
    SimRead,
    SimWrite,
    SimGetDeviceInfo,
};
} // namespace

SimAdapter::SimAdapter(const TimeSource* time) : time_(time) {}

SimAdapter::~SimAdapter() {
    if (installed == this) {
        installed = nullptr;
        InstallAdapterDriver(nullptr);
    }
}

void SimAdapter::Install() {
    installed = this;
    InstallAdapterDriver(&simDriver);
}

void SimAdapter::PlugAt(uint64_t us) {
    schedule_.push_back({us, true});
}
void SimAdapter::UnplugAt(uint64_t us) {
    schedule_.push_back({us, false});
}

std::vector<std::string> SimAdapter::CallNames() const {
    std::vector<std::string> names;
    names.reserve(calls_.size());
    for (const DriverCall& c : calls_) {
        names.push_back(c.name);
    }
    return names;
}

void SimAdapter::ApplySchedule(uint64_t now) {
    std::stable_sort(schedule_.begin(), schedule_.end(),
                     [](const PlugChange& a, const PlugChange& b) { return a.atUs < b.atUs; });
    while (!schedule_.empty() && schedule_.front().atUs <= now) {
        behaviour.plugged = schedule_.front().plugged;
        if (!behaviour.plugged) {
            // Unplugging the adapter invalidates its handle, as D2XX does.
            openHandle_ = 0;
            breakOn_ = false;
        }
        schedule_.erase(schedule_.begin());
    }
}

void SimAdapter::Record(const char* name) {
    const uint64_t now = time_->nowUs();
    ApplySchedule(now);
    if (behaviour.loseAfterCalls == 0) {
        behaviour.lost = true;
        behaviour.loseAfterCalls = -1;
    } else if (behaviour.loseAfterCalls > 0) {
        --behaviour.loseAfterCalls;
    }
    calls_.push_back(DriverCall{name, now});
}

bool SimAdapter::Valid(FT_HANDLE handle) const {
    return behaviour.plugged && openHandle_ != 0 &&
           reinterpret_cast<uintptr_t>(handle) == openHandle_;
}

FT_STATUS SimAdapter::Close(FT_HANDLE handle) {
    Record("FT_Close");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    openHandle_ = 0;
    breakOn_ = false;
    return FT_OK;
}

FT_STATUS SimAdapter::CreateDeviceInfoList(uint32_t* count) {
    Record("FT_CreateDeviceInfoList");
    if (behaviour.listFails) {
        return FT_OTHER_ERROR;
    }
    if (count != nullptr) {
        *count = behaviour.plugged ? 1u : 0u;
    }
    return FT_OK;
}

FT_STATUS SimAdapter::OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    Record("FT_OpenEx");
    if (handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *handle = nullptr;
    const bool byDescription = flags == FT_OPEN_BY_DESCRIPTION && arg != nullptr &&
                               std::strcmp(static_cast<const char*>(arg), "FT232R USB UART") == 0;
    // One process can hold the adapter once: D2XX refuses a second open.
    if (!behaviour.plugged || !byDescription || openHandle_ != 0) {
        return FT_DEVICE_NOT_OPENED;
    }
    if (behaviour.openGivesNoHandle) {
        return FT_OK;
    }
    openHandle_ = nextHandle_++;
    *handle = reinterpret_cast<FT_HANDLE>(openHandle_);
    return FT_OK;
}

FT_STATUS SimAdapter::SetFlowControl(FT_HANDLE handle, uint16_t, uint8_t, uint8_t) {
    Record("FT_SetFlowControl");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    return behaviour.flowFails ? FT_IO_ERROR : FT_OK;
}

FT_STATUS SimAdapter::SetDataCharacteristics(FT_HANDLE handle, uint8_t, uint8_t, uint8_t) {
    Record("FT_SetDataCharacteristics");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    return behaviour.dataFails ? FT_IO_ERROR : FT_OK;
}

FT_STATUS SimAdapter::SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    Record("FT_SetBaudRate");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (behaviour.baudFails) {
        return FT_IO_ERROR;
    }
    baudRate_ = baud;
    return FT_OK;
}

FT_STATUS SimAdapter::SetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    Record("FT_SetLatencyTimer");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (behaviour.latencyFails) {
        return FT_IO_ERROR;
    }
    latencyMs_ = ms;
    return FT_OK;
}

FT_STATUS SimAdapter::SetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventOn, uint8_t,
                               uint8_t) {
    Record("FT_SetChars");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (behaviour.charsFails) {
        return FT_IO_ERROR;
    }
    eventChar_ = eventChar;
    eventCharEnabled_ = eventOn != 0;
    return FT_OK;
}

FT_STATUS SimAdapter::SetBreak(FT_HANDLE handle, bool on) {
    Record(on ? "FT_SetBreakOn" : "FT_SetBreakOff");
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (behaviour.lost) {
        return FT_IO_ERROR;
    }
    breakOn_ = on;
    if (wire_ != nullptr) {
        wire_->HostBreak(on);
    }
    return FT_OK;
}

FT_STATUS SimAdapter::GetStatus(FT_HANDLE handle, uint32_t* rx, uint32_t* tx, uint32_t* events) {
    Record("FT_GetStatus");
    if (rx != nullptr) {
        *rx = 0;
    }
    if (tx != nullptr) {
        *tx = 0;
    }
    if (events != nullptr) {
        *events = 0;
    }
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (behaviour.lost) {
        return FT_IO_ERROR;
    }
    if (wire_ != nullptr) {
        if (rx != nullptr) {
            *rx = static_cast<uint32_t>(wire_->HostQueued());
        }
        if (tx != nullptr) {
            *tx = static_cast<uint32_t>(wire_->HostTxQueued());
        }
    }
    return FT_OK;
}

FT_STATUS SimAdapter::Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* got) {
    Record("FT_Read");
    if (got != nullptr) {
        *got = 0;
    }
    if (!Working(handle)) {
        return FT_IO_ERROR;
    }
    if (wire_ != nullptr && buffer != nullptr && count > 0) {
        const size_t n = wire_->HostRead(static_cast<uint8_t*>(buffer), count);
        if (got != nullptr) {
            *got = static_cast<uint32_t>(n);
        }
    }
    return FT_OK;
}

FT_STATUS SimAdapter::Write(FT_HANDLE handle, const void* buffer, uint32_t length,
                            uint32_t* written) {
    Record("FT_Write");
    if (written != nullptr) {
        *written = 0;
    }
    if (!Working(handle)) {
        return FT_IO_ERROR;
    }
    if (wire_ != nullptr && buffer != nullptr && length > 0) {
        // The FT232R takes what fits in its transmit buffer; D2XX returns once the rest
        // has gone out, so the caller waits here until at most 256 bytes remain.
        const uint64_t doneUs = wire_->HostWrite(static_cast<const uint8_t*>(buffer), length);
        time_->waitUntilUs(doneUs);
    }
    if (written != nullptr) {
        *written = length;
    }
    return FT_OK;
}

FT_STATUS SimAdapter::GetDeviceInfo(FT_HANDLE handle, uint32_t* type, uint32_t* id, char* serial,
                                    char* description, void*) {
    Record("FT_GetDeviceInfo");
    if (!Working(handle)) {
        return FT_IO_ERROR;
    }
    if (type != nullptr) {
        *type = 5; // FT232R
    }
    if (id != nullptr) {
        *id = 0x04036001;
    }
    if (serial != nullptr) {
        std::strcpy(serial, "KSIM0001");
    }
    if (description != nullptr) {
        std::strcpy(description, "FT232R USB UART");
    }
    return FT_OK;
}

} // namespace sim
