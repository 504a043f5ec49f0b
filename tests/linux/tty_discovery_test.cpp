// Finding the adapter by its USB product string in a fake sysfs tree, and opening it by
// description as the link layer does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "tests/linux/tty_fixtures.h"

namespace {

using ttytest::Pty;
using ttytest::TempTree;

constexpr const char* FT232R = "FT232R USB UART";

struct AdapterSpec {
    const char* tty;
    const char* usbPath;
    const char* product;
    int depth;
};

struct DiscoveryCase {
    const char* name;
    std::vector<AdapterSpec> adapters;
    bool withConsoleTty; // a ttyS0 without a USB device behind it
    uint32_t expectCount;
    const char* expectFirst;
};

std::vector<std::string> Discover(uint32_t* count) {
    char names[4][32] = {};
    *count = FindTtysByProduct(FT232R, &names[0][0], 4, sizeof names[0]);
    std::vector<std::string> result;
    for (uint32_t i = 0; i < *count && i < 4; ++i) {
        result.emplace_back(names[i]);
    }
    return result;
}

class TtyDiscovery : public ::testing::Test {
  protected:
    void TearDown() override { SetTtyRoots("/sys", "/dev"); }
};

TEST_F(TtyDiscovery, FindsAdaptersByProductStringInStableOrder) {
    const std::vector<DiscoveryCase> cases = {
        {"found", {{"ttyUSB0", "devices/pci0/usb1/1-2", FT232R, 1}}, true, 1, "ttyUSB0"},
        {"not found", {}, true, 0, nullptr},
        {"product string different",
         {{"ttyUSB0", "devices/pci0/usb1/1-2", "FT230X Basic UART", 1}},
         false,
         0,
         nullptr},
        {"two adapters, numeric order not listing order",
         {{"ttyUSB10", "devices/pci0/usb1/1-3", FT232R, 1},
          {"ttyUSB1", "devices/pci0/usb1/1-1", "CP2102 USB to UART Bridge Controller", 1},
          {"ttyUSB2", "devices/pci0/usb2/2-1", FT232R, 1}},
         false,
         2,
         "ttyUSB2"},
        {"product two levels further up",
         {{"ttyUSB3", "devices/pci0/usb1/1-4", FT232R, 3}},
         false,
         1,
         "ttyUSB3"},
    };
    for (const DiscoveryCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        ttytest::fs::create_directories(tree.Path("class/tty"));
        for (const AdapterSpec& a : c.adapters) {
            tree.AddAdapter(a.tty, a.usbPath, a.product, a.depth);
        }
        if (c.withConsoleTty) {
            tree.Write("devices/platform/serial8250/tty/ttyS0/dev", "4:64\n");
            tree.Link("class/tty/ttyS0", tree.Path("devices/platform/serial8250/tty/ttyS0"));
        }
        SetTtyRoots(tree.Root().c_str(), nullptr);
        uint32_t count = 0;
        const std::vector<std::string> names = Discover(&count);
        EXPECT_EQ(count, c.expectCount);
        if (c.expectFirst != nullptr) {
            ASSERT_FALSE(names.empty());
            EXPECT_EQ(names[0], c.expectFirst);
        }
    }
}

TEST_F(TtyDiscovery, WalkStopsAtTheSysfsRoot) {
    // A product file above the sysfs root must not be taken for the adapter's.
    TempTree outer;
    outer.Write("product", std::string(FT232R) + "\n");
    const std::string root = outer.Path("sys");
    ttytest::fs::create_directories(root + "/devices/platform/port/ttyUSB0/tty/ttyUSB0");
    ttytest::fs::create_directories(root + "/class/tty");
    ttytest::fs::create_symlink(root + "/devices/platform/port/ttyUSB0/tty/ttyUSB0",
                                root + "/class/tty/ttyUSB0");
    ttytest::fs::create_symlink(root + "/devices/platform/port/ttyUSB0",
                                root + "/devices/platform/port/ttyUSB0/tty/ttyUSB0/device");
    SetTtyRoots(root.c_str(), nullptr);
    uint32_t count = 0;
    Discover(&count);
    EXPECT_EQ(count, 0u);
}

TEST_F(TtyDiscovery, OpenByDescriptionUsesTheFirstMatchAndReportsItsIdentity) {
    TempTree tree;
    tree.AddAdapter("ttyUSB7", "devices/pci0/usb1/1-7", FT232R);
    tree.AddAdapter("ttyUSB4", "devices/pci0/usb1/1-4", FT232R);
    // The device nodes: ttyUSB4 is a pty standing in for the adapter, with its device
    // numbers registered in sysfs as the kernel does for a real tty.
    Pty pty;
    ttytest::fs::create_directories(tree.Path("devnodes"));
    tree.Link("devnodes/ttyUSB4", pty.Slave());
    struct stat st {};
    ASSERT_EQ(stat(pty.Slave().c_str(), &st), 0);
    const std::string devChar =
        "dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    tree.Link(devChar, tree.Path("devices/pci0/usb1/1-4/1-4:1.0/ttyUSB4/tty/ttyUSB4"));
    SetTtyRoots(tree.Root().c_str(), tree.Path("devnodes").c_str());

    const AdapterDriver* driver = TtyAdapterDriver();
    uint32_t count = 0;
    EXPECT_EQ(driver->CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 2u);
    FT_HANDLE handle = nullptr;
    char description[] = "FT232R USB UART";
    ASSERT_EQ(driver->OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    ASSERT_NE(handle, nullptr);
    uint32_t type = 0;
    uint32_t id = 0;
    char serial[FT_INFO_TEXT_BYTES] = {};
    char desc[FT_INFO_TEXT_BYTES] = {};
    EXPECT_EQ(driver->GetDeviceInfo(handle, &type, &id, serial, desc, nullptr), FT_OK);
    EXPECT_EQ(type, TTY_DEVICE_TYPE_232R);
    EXPECT_EQ(id, 0x04036001u);
    EXPECT_STREQ(serial, "AttyUSB4");
    EXPECT_STREQ(desc, FT232R);
    EXPECT_EQ(driver->Close(handle), FT_OK);
}

TEST_F(TtyDiscovery, OpenWithoutAdapterFailsAsNotFound) {
    TempTree tree;
    tree.AddAdapter("ttyUSB0", "devices/pci0/usb1/1-2", "USB-Serial Controller");
    SetTtyRoots(tree.Root().c_str(), tree.Path("devnodes").c_str());
    const AdapterDriver* driver = TtyAdapterDriver();
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(1);
    char description[] = "FT232R USB UART";
    EXPECT_EQ(driver->OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
}

} // namespace
