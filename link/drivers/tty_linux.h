// The Linux adapter driver: the D2XX calls the program makes, carried out on a serial tty.
// It finds the FT232R the way D2XX does, by its USB product string, read from sysfs for
// the kernel's ttyUSB devices, or uses a tty the user names (any USB-serial adapter, or a
// pseudo-terminal in tests and with the virtual device).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/ftd2xx.h"

// The D2XX type code of an FT232R, reported by FT_GetDeviceInfo.
constexpr uint32_t TTY_DEVICE_TYPE_232R = 5;

// Longest path the driver keeps (device nodes, sysfs directories).
constexpr std::size_t TTY_PATH_BYTES = 1024;

// Bytes the FT232R keeps in its transmit buffer: FT_Write returns once no more than this is
// still waiting to go out on the line.
constexpr uint32_t TTY_TX_BUFFER_BYTES = 256;

// The driver's table, for InstallAdapterDriver.
const AdapterDriver* TtyAdapterDriver();

// Uses the tty at `path` for every open instead of looking for the adapter by its product
// string; nullptr or "" goes back to looking. Call while no handle is open.
void SetTtyPort(const char* path);

// Where the driver looks: the sysfs root ("/sys") and the folder of device nodes ("/dev").
// Tests point both at a fake tree. nullptr keeps the current value.
void SetTtyRoots(const char* sysfsRoot, const char* devRoot);

// Receives the driver's notices for the user (a missing permission and its fix). Each kind
// of notice is given at most once per process. nullptr restores the default, which writes
// the notice and a line break to stderr.
void SetTtyNoticeSink(void (*sink)(const char* text));

// Forgets which notices were already given (for tests).
void ResetTtyNotices();

// Discovery: the names ("ttyUSB0", ...) of the ttys under <sysfs>/class/tty whose USB
// device has the product string `product`, in stable order (by the number in the name,
// then by name). Writes up to maxNames names of nameBytes bytes each into `names` and
// returns how many matched in all.
uint32_t FindTtysByProduct(const char* product, char* names, uint32_t maxNames,
                           std::size_t nameBytes);

// The entry the terminal program calls to use this driver: installs the table, with the
// tty at portOrNull when given. Returns false, with the reason in *message, when the given
// port cannot be a tty (missing, not a character device); otherwise true, with a one-line
// note on where the driver will look in *message.
bool InstallTtyDriver(const char* portOrNull, std::string* message);
