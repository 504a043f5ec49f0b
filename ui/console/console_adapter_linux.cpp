// The real adapter on Linux: the tty driver, looking for the FT232R by its USB product
// string, or on the serial port named with --port. Its notices (missing permissions and
// their fix) are shown by the terminal program.
#include "link/drivers/tty_linux.h"
#include "ui/console/console.h"

bool InstallRealAdapter(const std::string& port, std::string* why) {
    SetTtyNoticeSink(ConsoleNotice);
    return InstallTtyDriver(port.empty() ? nullptr : port.c_str(), why);
}
