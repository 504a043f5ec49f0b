// The Linux adapter driver on the kernel's serial ttys (ftdi_sio for the FT232R). It keeps
// the promises the link layer relies on: reads that never block, a receive-queue count,
// break control, and writes that return only once the adapter would have no more than its
// 256-byte buffer left to send, as the echo deadline of every exchange assumes.
#include "link/drivers/tty_linux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The fix for missing rights, named in every notice about them.
constexpr const char* UDEV_RULE_FIX =
    "install the udev rule: sudo cp packaging/linux/60-kestrel-ft232r.rules "
    "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger "
    "(see docs/linux.md)";

// Major numbers of Unix98 pseudo-terminal slaves: such a tty has no adapter behind it, so
// nothing holds received bytes back and there is no latency timer to set.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;

// How long FT_Write waits, beyond the line time of its bytes, for the output queue to
// drain before it gives up with an error (a stuck or vanished adapter).
constexpr uint64_t WRITE_DRAIN_SLACK_US = 2'000'000;
constexpr uint32_t WRITE_POLL_US = 500;

constexpr std::size_t TTY_NAME_BYTES = 64;
constexpr uint32_t MAX_ADAPTERS = 64;

struct TtyPort {
    int fd;
    bool isPty;
    bool latencyMet;              // the latency step took effect (or needs none)
    uint32_t bitsPerChar;         // start + data + parity + stop, for the write pacing
    uint32_t baud;                // the line rate, for the write pacing
    speed_t speed;                // the termios speed matching baud
    char node[TTY_PATH_BYTES];    // the device node that was opened
    char sysPort[TTY_PATH_BYTES]; // the serial port's sysfs directory, "" for none
    char description[FT_INFO_TEXT_BYTES];
    char serial[FT_INFO_TEXT_BYTES];
    uint32_t usbId; // vendor << 16 | product, 0 when unknown
};

TtyPort port{-1, false, false, 10, 38400, B38400, "", "", "", "", 0};

char sysfsRoot[TTY_PATH_BYTES] = "/sys";
char devRoot[TTY_PATH_BYTES] = "/dev";
char fixedPort[TTY_PATH_BYTES] = "";

void StderrSink(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}
void (*noticeSink)(const char*) = StderrSink;

enum Notice { NOTICE_TTY_PERMISSION, NOTICE_SYSFS_PERMISSION, NOTICE_COUNT };
bool noticeGiven[NOTICE_COUNT] = {};

void GiveNotice(Notice kind, const char* text) {
    if (noticeGiven[kind]) {
        return;
    }
    noticeGiven[kind] = true;
    noticeSink(text);
}

// Formats into a fixed buffer. Returns false when the text did not fit (it is then cut
// short), so a path that is too long is never used cut.
__attribute__((format(printf, 3, 4))) bool Compose(char* to, std::size_t size, const char* format,
                                                   ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(to, size, format, args);
    va_end(args);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

bool CopyText(char* to, std::size_t size, const char* from) {
    return Compose(to, size, "%s", from);
}

uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void SleepUs(uint64_t us) {
    timespec left{static_cast<time_t>(us / 1'000'000u), static_cast<long>(us % 1'000'000u) * 1000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Reads a small sysfs text file, without its trailing line break. False if unreadable.
bool ReadSysText(const char* path, char* text, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t n = read(fd, text, size - 1);
    close(fd);
    if (n < 0) {
        return false;
    }
    std::size_t len = static_cast<std::size_t>(n);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) {
        --len;
    }
    text[len] = '\0';
    return true;
}

// Writes a sysfs attribute. Returns 0 or the errno of the failure.
int WriteSysText(const char* path, const char* text) {
    // O_TRUNC as a shell's redirection does: sysfs ignores it, a plain file needs it.
    const int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const std::size_t len = std::strlen(text);
    const ssize_t n = write(fd, text, len);
    const int err = n < 0 ? errno : (static_cast<std::size_t>(n) == len ? 0 : EIO);
    close(fd);
    return err;
}

bool IsFile(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Walks up from a device directory to the first one that has a USB `product` file, never
// above the sysfs root. Fills `usbDir` and returns true when one is found.
bool FindUsbDevice(const char* deviceDir, char* usbDir, std::size_t size) {
    char root[PATH_MAX];
    if (realpath(sysfsRoot, root) == nullptr) {
        return false;
    }
    char dir[PATH_MAX];
    if (realpath(deviceDir, dir) == nullptr) {
        return false;
    }
    const std::size_t rootLen = std::strlen(root);
    while (std::strlen(dir) > rootLen && std::strncmp(dir, root, rootLen) == 0) {
        char product[PATH_MAX + 16];
        Compose(product, sizeof product, "%s/product", dir);
        if (IsFile(product)) {
            return CopyText(usbDir, size, dir);
        }
        char* slash = std::strrchr(dir, '/');
        if (slash == nullptr || slash == dir) {
            break;
        }
        *slash = '\0';
    }
    return false;
}

// Orders tty names by their trailing number, then by name, so ttyUSB2 comes before
// ttyUSB10 whatever order the directory lists them in.
bool TtyNameBefore(const char* a, const char* b) {
    const std::size_t la = std::strcspn(a, "0123456789");
    const std::size_t lb = std::strcspn(b, "0123456789");
    const int prefix = std::strncmp(a, b, std::min(la, lb));
    if (la != lb || prefix != 0) {
        return prefix != 0 ? prefix < 0 : la < lb;
    }
    const unsigned long na = std::strtoul(a + la, nullptr, 10);
    const unsigned long nb = std::strtoul(b + lb, nullptr, 10);
    if (na != nb) {
        return na < nb;
    }
    return std::strcmp(a, b) < 0;
}

// Reads the USB identity of the adapter behind the serial port directory into the port.
void ReadUsbIdentity(const char* portDir) {
    char usbDir[TTY_PATH_BYTES];
    if (!FindUsbDevice(portDir, usbDir, sizeof usbDir)) {
        return;
    }
    char path[TTY_PATH_BYTES + 16];
    char text[FT_INFO_TEXT_BYTES];
    Compose(path, sizeof path, "%s/product", usbDir);
    if (ReadSysText(path, text, sizeof text)) {
        CopyText(port.description, sizeof port.description, text);
    }
    Compose(path, sizeof path, "%s/serial", usbDir);
    if (ReadSysText(path, text, sizeof text)) {
        CopyText(port.serial, sizeof port.serial, text);
    }
    char vid[16];
    char pid[16];
    Compose(path, sizeof path, "%s/idVendor", usbDir);
    const bool haveVid = ReadSysText(path, vid, sizeof vid);
    Compose(path, sizeof path, "%s/idProduct", usbDir);
    if (haveVid && ReadSysText(path, pid, sizeof pid)) {
        port.usbId = static_cast<uint32_t>((std::strtoul(vid, nullptr, 16) << 16) |
                                           std::strtoul(pid, nullptr, 16));
    }
}

// Finds the sysfs directory of the serial port behind an open tty, through its device
// numbers (<sysfs>/dev/char/MAJ:MIN/device). Leaves "" when there is none (a pty).
void FindSysPort(dev_t rdev) {
    char link[TTY_PATH_BYTES + 64];
    Compose(link, sizeof link, "%s/dev/char/%u:%u/device", sysfsRoot, major(rdev), minor(rdev));
    char dir[PATH_MAX];
    if (realpath(link, dir) != nullptr && CopyText(port.sysPort, sizeof port.sysPort, dir)) {
        ReadUsbIdentity(dir);
    } else {
        port.sysPort[0] = '\0';
    }
}

// The termios speed for a baud rate, or B0 when the tty layer has no such rate.
speed_t SpeedFor(uint32_t baud) {
    struct Rate {
        uint32_t baud;
        speed_t speed;
    };
    static const Rate RATES[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const Rate& rate : RATES) {
        if (rate.baud == baud) {
            return rate.speed;
        }
    }
    return B0;
}

bool Valid(FT_HANDLE handle) {
    return handle == &port && port.fd >= 0;
}

// Changes the line settings with `change`, keeping raw mode. FT_OK or FT_IO_ERROR.
template <typename Change> FT_STATUS UpdateTermios(Change change) {
    termios tio{};
    if (tcgetattr(port.fd, &tio) != 0) {
        return FT_IO_ERROR;
    }
    change(&tio);
    return tcsetattr(port.fd, TCSANOW, &tio) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS FT_API TtyClose(FT_HANDLE handle) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    close(port.fd);
    port.fd = -1;
    return FT_OK;
}

FT_STATUS FT_API TtyCreateDeviceInfoList(uint32_t* deviceCount) {
    uint32_t count = 1;
    if (fixedPort[0] == '\0') {
        char name[TTY_NAME_BYTES];
        count = FindTtysByProduct("FT232R USB UART", name, 1, sizeof name);
    }
    if (deviceCount != nullptr) {
        *deviceCount = count;
    }
    return FT_OK;
}

// Opens and sets up the tty at `node`: raw, 38400 8N1, no flow control, reads that never
// block. Fills the port; returns FT_OK or the failure.
FT_STATUS OpenNode(const char* node) {
    const int fd = open(node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) {
            char text[2 * TTY_PATH_BYTES];
            Compose(text, sizeof text,
                    "Permission denied on %s. To use the adapter, add yourself to the "
                    "dialout group (sudo usermod -aG dialout $USER, then log in again) "
                    "or %s.",
                    node, UDEV_RULE_FIX);
            GiveNotice(NOTICE_TTY_PERMISSION, text);
        }
        return errno == ENOENT || errno == ENXIO || errno == ENODEV ? FT_DEVICE_NOT_FOUND
                                                                    : FT_DEVICE_NOT_OPENED;
    }
    struct stat st {};
    termios tio{};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || tcgetattr(fd, &tio) != 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    port = TtyPort{fd, false, false, 10, 38400, B38400, "", "", "", "", 0};
    CopyText(port.node, sizeof port.node, node);
    const unsigned maj = major(st.st_rdev);
    port.isPty = maj >= PTY_SLAVE_MAJOR_FIRST && maj <= PTY_SLAVE_MAJOR_LAST;
    FindSysPort(st.st_rdev);
    if (port.description[0] == '\0') {
        CopyText(port.description, sizeof port.description, node);
    }
    return FT_OK;
}

FT_STATUS FT_API TtyOpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    if (handle == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    *handle = nullptr;
    if (flags != FT_OPEN_BY_DESCRIPTION || arg == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (port.fd >= 0) {
        return FT_DEVICE_NOT_OPENED;
    }
    char node[TTY_PATH_BYTES];
    if (fixedPort[0] != '\0') {
        CopyText(node, sizeof node, fixedPort);
    } else {
        char name[TTY_NAME_BYTES];
        if (FindTtysByProduct(static_cast<const char*>(arg), name, 1, sizeof name) == 0) {
            return FT_DEVICE_NOT_FOUND;
        }
        if (!Compose(node, sizeof node, "%s/%s", devRoot, name)) {
            return FT_DEVICE_NOT_FOUND;
        }
    }
    const FT_STATUS status = OpenNode(node);
    if (status == FT_OK) {
        *handle = &port;
    }
    return status;
}

FT_STATUS FT_API TtySetFlowControl(FT_HANDLE handle, uint16_t flowControl, uint8_t, uint8_t) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (flowControl != FT_FLOW_NONE) {
        return FT_INVALID_PARAMETER;
    }
    return UpdateTermios([](termios* tio) {
        tio->c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    });
}

FT_STATUS FT_API TtySetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                           uint8_t parity) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    // D2XX values: 7 or 8 data bits; stop bits 0 (one) or 2 (two); parity 0 none, 1 odd,
    // 2 even.
    if ((wordLength != 7 && wordLength != 8) || (stopBits != 0 && stopBits != 2) || parity > 2) {
        return FT_INVALID_PARAMETER;
    }
    const FT_STATUS status = UpdateTermios([&](termios* tio) {
        tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
        tio->c_cflag |= wordLength == 8 ? CS8 : CS7;
        tio->c_cflag |= stopBits == 2 ? CSTOPB : 0;
        tio->c_cflag |= parity != 0 ? PARENB : 0;
        tio->c_cflag |= parity == 1 ? PARODD : 0;
    });
    if (status == FT_OK) {
        port.bitsPerChar = 1u + wordLength + (parity != 0 ? 1u : 0u) + (stopBits == 2 ? 2u : 1u);
    }
    return status;
}

FT_STATUS FT_API TtySetBaudRate(FT_HANDLE handle, uint32_t baudRate) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    const speed_t speed = SpeedFor(baudRate);
    if (speed == B0) {
        return FT_INVALID_PARAMETER;
    }
    const FT_STATUS status = UpdateTermios([&](termios* tio) {
        cfsetispeed(tio, speed);
        cfsetospeed(tio, speed);
    });
    if (status == FT_OK) {
        port.baud = baudRate;
        port.speed = speed;
    }
    return status;
}

// The latency step. ftdi_sio offers the timer as the sysfs attribute latency_timer: a
// value already no longer than asked for is kept (the udev rule sets 1 ms), a longer one
// is written. Otherwise the low-latency flag of the serial driver asks for the shortest
// timer. A pty delivers every byte the moment it is written and has no timer at all, so
// the step is met there as it stands.
FT_STATUS FT_API TtySetLatencyTimer(FT_HANDLE handle, uint8_t latencyMs) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    port.latencyMet = false;
    int refused = 0;
    char attr[TTY_PATH_BYTES + 32] = "";
    if (port.sysPort[0] != '\0') {
        Compose(attr, sizeof attr, "%s/latency_timer", port.sysPort);
        char text[32];
        if (ReadSysText(attr, text, sizeof text)) {
            char* end = nullptr;
            const unsigned long current = std::strtoul(text, &end, 10);
            if (end != text && current <= latencyMs) {
                port.latencyMet = true;
                return FT_OK;
            }
            Compose(text, sizeof text, "%u", latencyMs);
            const int err = WriteSysText(attr, text);
            if (err == 0) {
                port.latencyMet = true;
                return FT_OK;
            }
            refused = err == EACCES || err == EPERM ? err : 0;
        }
    }
    serial_struct info{};
    if (ioctl(port.fd, TIOCGSERIAL, &info) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(port.fd, TIOCSSERIAL, &info) == 0 && ioctl(port.fd, TIOCGSERIAL, &info) == 0 &&
            (info.flags & ASYNC_LOW_LATENCY) != 0) {
            port.latencyMet = true;
            return FT_OK;
        }
    }
    if (port.isPty && port.sysPort[0] == '\0') {
        port.latencyMet = true;
        return FT_OK;
    }
    if (refused != 0) {
        char text[2 * TTY_PATH_BYTES];
        Compose(text, sizeof text,
                "Cannot set the adapter's latency timer (%s: %s); replies will be "
                "slower. To allow it, %s.",
                attr, std::strerror(refused), UDEV_RULE_FIX);
        GiveNotice(NOTICE_SYSFS_PERMISSION, text);
    }
    return FT_OTHER_ERROR;
}

// The event-character step. ftdi_sio offers it as the write-only sysfs attribute
// event_char (the character, with bit 8 to enable it). The character only makes the
// adapter hand over a packet ending in it before the latency timer runs out, so where the
// attribute is missing or may not be written, the step counts as met once the latency
// step took effect.
FT_STATUS FT_API TtySetChars(FT_HANDLE handle, uint8_t eventChar, uint8_t eventCharEnabled, uint8_t,
                             uint8_t) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    int refused = 0;
    char attr[TTY_PATH_BYTES + 32] = "";
    if (port.sysPort[0] != '\0') {
        Compose(attr, sizeof attr, "%s/event_char", port.sysPort);
        struct stat st {};
        if (stat(attr, &st) == 0) {
            char text[16];
            Compose(text, sizeof text, "%u", eventChar | (eventCharEnabled != 0 ? 0x100u : 0u));
            const int err = WriteSysText(attr, text);
            if (err == 0) {
                return FT_OK;
            }
            refused = err == EACCES || err == EPERM ? err : 0;
        }
    }
    if (port.latencyMet) {
        return FT_OK;
    }
    if (refused != 0) {
        char text[2 * TTY_PATH_BYTES];
        Compose(text, sizeof text,
                "Cannot set the adapter's event character (%s: %s). To allow it, %s.", attr,
                std::strerror(refused), UDEV_RULE_FIX);
        GiveNotice(NOTICE_SYSFS_PERMISSION, text);
    }
    return FT_OTHER_ERROR;
}

FT_STATUS FT_API TtySetBreakOn(FT_HANDLE handle) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    return ioctl(port.fd, TIOCSBRK) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS FT_API TtySetBreakOff(FT_HANDLE handle) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    return ioctl(port.fd, TIOCCBRK) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_STATUS FT_API TtyGetStatus(FT_HANDLE handle, uint32_t* rxQueued, uint32_t* txQueued,
                              uint32_t* events) {
    int rx = 0;
    int tx = 0;
    FT_STATUS status = FT_INVALID_HANDLE;
    if (Valid(handle)) {
        status = ioctl(port.fd, FIONREAD, &rx) == 0 && ioctl(port.fd, TIOCOUTQ, &tx) == 0
                     ? FT_OK
                     : FT_IO_ERROR;
    }
    if (status != FT_OK) {
        rx = 0;
        tx = 0;
    }
    if (rxQueued != nullptr) {
        *rxQueued = static_cast<uint32_t>(std::max(rx, 0));
    }
    if (txQueued != nullptr) {
        *txQueued = static_cast<uint32_t>(std::max(tx, 0));
    }
    if (events != nullptr) {
        *events = 0;
    }
    return status;
}

FT_STATUS FT_API TtyRead(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (count == 0) {
        return FT_OK;
    }
    if (buffer == nullptr || bytesRead == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    const ssize_t n = read(port.fd, buffer, count);
    if (n > 0) {
        *bytesRead = static_cast<uint32_t>(n);
        return FT_OK;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return FT_OK;
    }
    // A raw tty without minimum or timer reads 0 bytes when nothing is queued; so does a
    // hung-up one, whose adapter is gone and whose every other call then fails.
    termios tio{};
    return n == 0 && tcgetattr(port.fd, &tio) == 0 ? FT_OK : FT_IO_ERROR;
}

// Writes all bytes, then waits as the FT232R would: until no more than its buffer's worth
// is still queued for output, and at least as long as the line needs for all but that
// buffer's worth, (n - 256) bytes at the line rate. A pty reports an empty output queue at
// once, so there the line time alone keeps the pace.
FT_STATUS FT_API TtyWrite(FT_HANDLE handle, const void* buffer, uint32_t length,
                          uint32_t* bytesWritten) {
    if (bytesWritten != nullptr) {
        *bytesWritten = 0;
    }
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (buffer == nullptr && length > 0) {
        return FT_INVALID_PARAMETER;
    }
    const uint64_t startUs = NowUs();
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = write(port.fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{port.fd, POLLOUT, 0};
            if (poll(&pfd, 1, 1000) < 0 && errno != EINTR) {
                break;
            }
            if ((pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                break;
            }
            continue;
        }
        break;
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    if (done < length) {
        return FT_IO_ERROR;
    }
    const uint64_t bitUs = 1'000'000ull * port.bitsPerChar;
    const uint64_t beyondBuffer = length > TTY_TX_BUFFER_BYTES ? length - TTY_TX_BUFFER_BYTES : 0;
    const uint64_t lineDoneUs = startUs + (beyondBuffer * bitUs + port.baud - 1) / port.baud;
    const uint64_t giveUpUs =
        startUs + (uint64_t{length} * bitUs) / port.baud + WRITE_DRAIN_SLACK_US;
    for (;;) {
        int queued = 0;
        if (ioctl(port.fd, TIOCOUTQ, &queued) != 0) {
            return FT_IO_ERROR;
        }
        const uint64_t now = NowUs();
        if (queued <= static_cast<int>(TTY_TX_BUFFER_BYTES)) {
            if (now >= lineDoneUs) {
                return FT_OK;
            }
            SleepUs(lineDoneUs - now);
            continue;
        }
        if (now >= giveUpUs) {
            return FT_IO_ERROR;
        }
        SleepUs(WRITE_POLL_US);
    }
}

// The presence probe: the tty must still answer, and for an adapter its sysfs directory
// must still be there. An unplugged adapter's tty is hung up, so its calls fail with EIO.
FT_STATUS FT_API TtyGetDeviceInfo(FT_HANDLE handle, uint32_t* deviceType, uint32_t* deviceId,
                                  char* serialNumber, char* description, void*) {
    if (!Valid(handle)) {
        return FT_INVALID_HANDLE;
    }
    termios tio{};
    if (tcgetattr(port.fd, &tio) != 0) {
        return FT_IO_ERROR;
    }
    struct stat st {};
    if (port.sysPort[0] != '\0' && stat(port.sysPort, &st) != 0) {
        return FT_DEVICE_NOT_FOUND;
    }
    if (deviceType != nullptr) {
        *deviceType = TTY_DEVICE_TYPE_232R;
    }
    if (deviceId != nullptr) {
        *deviceId = port.usbId;
    }
    if (serialNumber != nullptr) {
        CopyText(serialNumber, FT_INFO_TEXT_BYTES, port.serial);
    }
    if (description != nullptr) {
        CopyText(description, FT_INFO_TEXT_BYTES, port.description);
    }
    return FT_OK;
}

const AdapterDriver ttyDriver{
    TtyClose,
    TtyCreateDeviceInfoList,
    TtyOpenEx,
    TtySetFlowControl,
    TtySetDataCharacteristics,
    TtySetBaudRate,
    TtySetLatencyTimer,
    TtySetChars,
    TtySetBreakOn,
    TtySetBreakOff,
    TtyGetStatus,
    TtyRead,
    TtyWrite,
    TtyGetDeviceInfo,
};

} // namespace

const AdapterDriver* TtyAdapterDriver() {
    return &ttyDriver;
}

void SetTtyPort(const char* path) {
    CopyText(fixedPort, sizeof fixedPort, path ? path : "");
}

void SetTtyRoots(const char* sysfs, const char* dev) {
    if (sysfs != nullptr) {
        CopyText(sysfsRoot, sizeof sysfsRoot, sysfs);
    }
    if (dev != nullptr) {
        CopyText(devRoot, sizeof devRoot, dev);
    }
}

void SetTtyNoticeSink(void (*sink)(const char* text)) {
    noticeSink = sink != nullptr ? sink : StderrSink;
}

void ResetTtyNotices() {
    for (bool& given : noticeGiven) {
        given = false;
    }
}

uint32_t FindTtysByProduct(const char* product, char* names, uint32_t maxNames,
                           std::size_t nameBytes) {
    char classDir[TTY_PATH_BYTES + 16];
    DIR* dir =
        Compose(classDir, sizeof classDir, "%s/class/tty", sysfsRoot) ? opendir(classDir) : nullptr;
    if (dir == nullptr) {
        return 0;
    }
    // Collect every match first, then order them, so the choice does not depend on the
    // order the directory happens to list its entries in.
    static char found[MAX_ADAPTERS][TTY_NAME_BYTES];
    uint32_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, "ttyUSB", 6) != 0 || count == MAX_ADAPTERS ||
            std::strlen(entry->d_name) >= TTY_NAME_BYTES) {
            continue;
        }
        char deviceDir[2 * TTY_PATH_BYTES];
        Compose(deviceDir, sizeof deviceDir, "%s/%s/device", classDir, entry->d_name);
        char usbDir[TTY_PATH_BYTES];
        if (!FindUsbDevice(deviceDir, usbDir, sizeof usbDir)) {
            continue;
        }
        char path[TTY_PATH_BYTES + 16];
        Compose(path, sizeof path, "%s/product", usbDir);
        char text[FT_INFO_TEXT_BYTES];
        if (ReadSysText(path, text, sizeof text) && std::strcmp(text, product) == 0) {
            CopyText(found[count++], TTY_NAME_BYTES, entry->d_name);
        }
    }
    closedir(dir);
    uint32_t order[MAX_ADAPTERS];
    for (uint32_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    std::sort(order, order + count,
              [](uint32_t a, uint32_t b) { return TtyNameBefore(found[a], found[b]); });
    for (uint32_t i = 0; i < count && i < maxNames; ++i) {
        CopyText(names + i * nameBytes, nameBytes, found[order[i]]);
    }
    return count;
}

bool InstallTtyDriver(const char* portOrNull, std::string* message) {
    std::string note;
    bool ok = true;
    if (portOrNull != nullptr && portOrNull[0] != '\0') {
        struct stat st {};
        if (stat(portOrNull, &st) != 0) {
            note = std::string(portOrNull) + ": " + std::strerror(errno);
            ok = false;
        } else if (!S_ISCHR(st.st_mode)) {
            note = std::string(portOrNull) + ": not a serial port (a character device)";
            ok = false;
        } else {
            // A device that opens but is no terminal (/dev/null) can never be the line.
            const int fd = open(portOrNull, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            const bool notTty = fd >= 0 && isatty(fd) == 0;
            if (fd >= 0) {
                close(fd);
            }
            if (notTty) {
                note = std::string(portOrNull) + ": not a serial port (not a terminal)";
                ok = false;
            } else {
                note = std::string("Using the serial port ") + portOrNull;
            }
        }
    } else {
        note = "Looking for the USB adapter \"FT232R USB UART\"";
    }
    if (ok) {
        SetTtyPort(portOrNull);
        InstallAdapterDriver(&ttyDriver);
    }
    if (message != nullptr) {
        *message = note;
    }
    return ok;
}
