// Device identification and image choice: asks the device who it is, keeps the answer,
// shows it, and chooses the catalogue slot whose image fits the device.
#pragma once

#include <cstdint>

struct DeviceIdentity {
    uint16_t number1;
    uint16_t number2;
    uint16_t codeH; // device variant; 0: no identity to show
    uint16_t codeB;
    uint16_t codeS; // firmware level the device runs
};
extern DeviceIdentity deviceIdentity;

constexpr int IDENTIFY_ATTEMPTS = 5;
constexpr int RESULT_NO_IDENTITY = 7;
constexpr int FIND_NONE = -1;
constexpr int FIND_UP_TO_DATE = -2;
constexpr int DEVICE_ID_CHARS = 34; // "(%05d:%05d) H:%04X B:%04X S:%04X"

// Sends the stored identity request up to five times, toggling echoSkip and pinging the
// device after each failure. Returns 0, or 7 after logging "Error_GetDeviceInfo !!!".
int GetDeviceInfo();

// Writes the 34-character identity line and a NUL into out.
void FormatDeviceId(char* out);

// Appends "ID " and the identity line to the log, unless codeH is 0.
void ShowDeviceId();

// The first catalogue slot whose image fits the device; FIND_UP_TO_DATE when that image
// has exactly the device's level; FIND_NONE when none fits. Logs the chosen slot's line
// and a line for every image with a bad status.
int FindImage();
