// The tty driver on a real pseudo-terminal: line setup, queue counts, reads that never
// block, the paced write, the timing steps, the presence probe and the permission notices.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>

#include "tests/linux/tty_fixtures.h"

namespace {

using ttytest::Pty;
using ttytest::TempTree;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::string> notices;
void RecordNotice(const char* text) {
    notices.emplace_back(text);
}

class TtyPty : public ::testing::Test {
  protected:
    void SetUp() override {
        SetTtyRoots(tree.Root().c_str(), nullptr);
        SetTtyPort(pty.Slave().c_str());
        ResetTtyNotices();
        notices.clear();
        SetTtyNoticeSink(RecordNotice);
    }
    void TearDown() override {
        if (handle != nullptr) {
            driver->Close(handle);
        }
        SetTtyPort(nullptr);
        SetTtyRoots("/sys", "/dev");
        SetTtyNoticeSink(nullptr);
    }

    // Gives the pty the sysfs serial-port folder an ftdi_sio adapter has, with the
    // latency timer at `latencyMs` and an event_char attribute.
    std::string AddSysfsPort(const std::string& latencyMs) { return AddSysfsPort(tree, latencyMs); }
    std::string AddSysfsPort(const TempTree& into, const std::string& latencyMs) {
        struct stat st {};
        stat(pty.Slave().c_str(), &st);
        const std::string portDir = "devices/usb1/1-1/1-1:1.0/ttyUSB0";
        into.Write(portDir + "/latency_timer", latencyMs + "\n");
        into.Write(portDir + "/event_char", "");
        into.Write("devices/usb1/1-1/product", "FT232R USB UART\n");
        ttytest::fs::create_directories(into.Path(portDir + "/tty/ttyUSB0"));
        into.Link(portDir + "/tty/ttyUSB0/device", into.Path(portDir));
        into.Link("dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                      std::to_string(minor(st.st_rdev)),
                  into.Path(portDir + "/tty/ttyUSB0"));
        return portDir;
    }

    void Open() {
        char description[] = "FT232R USB UART";
        ASSERT_EQ(driver->OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(driver->SetFlowControl(handle, FT_FLOW_NONE, 0, 0), FT_OK);
        ASSERT_EQ(driver->SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
                  FT_OK);
        ASSERT_EQ(driver->SetBaudRate(handle, 38400), FT_OK);
    }

    // Waits (up to a second) until the receive queue holds `count` bytes.
    uint32_t WaitQueued(uint32_t count) {
        uint32_t rx = 0;
        const auto start = Clock::now();
        while (MsSince(start) < 1000) {
            driver->GetStatus(handle, &rx, nullptr, nullptr);
            if (rx >= count) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return rx;
    }

    // Reads from the master what the driver sent, for up to a second.
    std::string DrainMaster(std::size_t expect) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < expect && MsSince(start) < 1000) {
            char buf[4096];
            const ssize_t n = read(pty.Master(), buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return got;
    }

    TempTree tree;
    Pty pty;
    const AdapterDriver* driver = TtyAdapterDriver();
    FT_HANDLE handle = nullptr;
};

TEST_F(TtyPty, LineIsRaw38400EightNOneWithoutFlowControlAndBytesPassUnchanged) {
    Open();
    const int probe = open(pty.Slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(probe, &tio), 0);
    close(probe);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B38400));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    // Every byte value both ways, the line-discipline specials among them.
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    ASSERT_EQ(write(pty.Master(), all.data(), all.size()), 256);
    ASSERT_EQ(WaitQueued(256), 256u);
    char got[256] = {};
    uint32_t n = 0;
    ASSERT_EQ(driver->Read(handle, got, sizeof got, &n), FT_OK);
    ASSERT_EQ(n, 256u);
    EXPECT_EQ(std::string(got, n), all);

    uint32_t written = 0;
    ASSERT_EQ(driver->Write(handle, all.data(), 256, &written), FT_OK);
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(DrainMaster(256), all);
}

TEST_F(TtyPty, StatusCountsTheInputQueueAndReadNeverBlocks) {
    Open();
    uint32_t rx = 99;
    uint32_t tx = 99;
    EXPECT_EQ(driver->GetStatus(handle, &rx, &tx, nullptr), FT_OK);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(tx, 0u);

    char buf[16];
    uint32_t n = 7;
    const auto start = Clock::now();
    EXPECT_EQ(driver->Read(handle, buf, sizeof buf, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_LT(MsSince(start), 50.0);

    ASSERT_EQ(write(pty.Master(), "\xAD\x01\x02\x03\x04", 5), 5);
    EXPECT_EQ(WaitQueued(5), 5u);
    ASSERT_EQ(driver->Read(handle, buf, 2, &n), FT_OK);
    EXPECT_EQ(std::string(buf, n), "\xAD\x01");
    driver->GetStatus(handle, &rx, nullptr, nullptr);
    EXPECT_EQ(rx, 3u);
}

TEST_F(TtyPty, WriteReturnsNoSoonerThanTheLineCouldCarryAllButTheLast256Bytes) {
    Open();
    struct Case {
        uint32_t bytes;
        double minMs; // (n - 256) x 10 / 38400 s, or nothing within the adapter's buffer
    };
    const Case cases[] = {{5, 0.0}, {256, 0.0}, {1000, 193.75}, {2304, 533.33}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string data(c.bytes, '\x5A');
        uint32_t written = 0;
        const auto start = Clock::now();
        ASSERT_EQ(driver->Write(handle, data.data(), c.bytes, &written), FT_OK);
        const double took = MsSince(start);
        EXPECT_EQ(written, c.bytes);
        EXPECT_GE(took, c.minMs);
        EXPECT_LT(took, c.minMs + 60.0);
        EXPECT_EQ(DrainMaster(c.bytes).size(), c.bytes);
    }
}

TEST_F(TtyPty, TimingStepsAreMetOnABarePty) {
    Open();
    EXPECT_EQ(driver->SetLatencyTimer(handle, 4), FT_OK);
    EXPECT_EQ(driver->SetChars(handle, 0x0D, 1, 0, 0), FT_OK);
    EXPECT_TRUE(notices.empty());
}

TEST_F(TtyPty, TimingStepsGoThroughTheSysfsAttributesWhereOffered) {
    struct Case {
        int before;
        int after; // a timer already shorter than asked for is kept as it is
    };
    for (const Case& c : {Case{16, 4}, Case{1, 1}, Case{4, 4}}) {
        SCOPED_TRACE(c.before);
        TempTree sysfs;
        SetTtyRoots(sysfs.Root().c_str(), nullptr);
        const std::string portDir = AddSysfsPort(sysfs, std::to_string(c.before));
        Open();
        EXPECT_EQ(driver->SetLatencyTimer(handle, 4), FT_OK);
        EXPECT_EQ(std::stoi(sysfs.Read(portDir + "/latency_timer")), c.after);
        EXPECT_EQ(driver->SetChars(handle, 0x0D, 1, 0, 0), FT_OK);
        EXPECT_EQ(sysfs.Read(portDir + "/event_char"), "269"); // 0x0D with the enable bit 0x100
        EXPECT_TRUE(notices.empty());
        driver->Close(handle);
        handle = nullptr;
    }
}

TEST_F(TtyPty, PresenceProbeFailsOnceTheTtyOrItsAdapterIsGone) {
    Open();
    EXPECT_EQ(driver->GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
    pty.CloseMaster(); // the far side hangs up, as an unplugged adapter's tty is
    EXPECT_NE(driver->GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
    uint32_t written = 0;
    EXPECT_NE(driver->Write(handle, "\x55", 1, &written), FT_OK);
    char buf[4];
    uint32_t n = 0;
    EXPECT_NE(driver->Read(handle, buf, sizeof buf, &n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST_F(TtyPty, PresenceProbeFailsWhenTheAdapterLeavesSysfs) {
    const std::string portDir = AddSysfsPort("16");
    Open();
    EXPECT_EQ(driver->GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
    ttytest::fs::remove_all(tree.Path("devices/usb1"));
    EXPECT_NE(driver->GetDeviceInfo(handle, nullptr, nullptr, nullptr, nullptr, nullptr), FT_OK);
}

// Runs `body` in a child process that has given up root, and returns its exit code.
template <typename Body> int AsUnprivileged(Body body) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(90);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

TEST_F(TtyPty, PermissionDeniedOnTheTtyNamesTheFixOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to drop to another user";
    }
    chmod(pty.Slave().c_str(), 0600);
    const int code = AsUnprivileged([this] {
        char description[] = "FT232R USB UART";
        FT_HANDLE h = nullptr;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (driver->OpenEx(description, FT_OPEN_BY_DESCRIPTION, &h) == FT_OK) {
                return 1;
            }
        }
        if (notices.size() != 1) {
            return 2;
        }
        const std::string& text = notices[0];
        const bool names = text.find(pty.Slave()) != std::string::npos &&
                           text.find("dialout") != std::string::npos &&
                           text.find("60-kestrel-ft232r.rules") != std::string::npos;
        return names ? 0 : 3;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(TtyPty, WithoutRightsOnSysfsTheStepsFailAndTheFixIsShownOnce) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to drop to another user";
    }
    const std::string portDir = AddSysfsPort("16");
    chmod(pty.Slave().c_str(), 0666);
    const int code = AsUnprivileged([this, portDir] {
        char description[] = "FT232R USB UART";
        FT_HANDLE h = nullptr;
        if (driver->OpenEx(description, FT_OPEN_BY_DESCRIPTION, &h) != FT_OK) {
            return 1;
        }
        if (driver->SetLatencyTimer(h, 4) == FT_OK || driver->SetChars(h, 0x0D, 1, 0, 0) == FT_OK) {
            return 2;
        }
        if (driver->SetLatencyTimer(h, 4) == FT_OK) {
            return 3;
        }
        if (notices.size() != 1 ||
            notices[0].find("60-kestrel-ft232r.rules") == std::string::npos ||
            notices[0].find("latency") == std::string::npos) {
            return 4;
        }
        // The line itself still works.
        uint32_t written = 0;
        if (driver->Write(h, "\x55", 1, &written) != FT_OK || written != 1) {
            return 5;
        }
        driver->Close(h);
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(tree.Read(portDir + "/latency_timer"), "16\n");
}

TEST_F(TtyPty, InstallAcceptsOnlyATerminalAsThePort) {
    struct Case {
        std::string port;
        bool accepted;
    };
    const Case cases[] = {
        {pty.Slave(), true},
        {"/nonexistent/ttyUSB9", false},
        {"/dev/null", false}, // a character device, but no terminal
        {tree.Root(), false}, // a folder
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        InstallAdapterDriver(nullptr);
        std::string message;
        EXPECT_EQ(InstallTtyDriver(c.port.c_str(), &message), c.accepted);
        EXPECT_NE(message.find(c.port), std::string::npos) << message;
        EXPECT_EQ(InstalledAdapterDriver() == TtyAdapterDriver(), c.accepted);
    }
    InstallAdapterDriver(nullptr);
}

} // namespace
