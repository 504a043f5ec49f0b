// Helpers for the tty driver tests: a throw-away fake sysfs tree and a pseudo-terminal
// whose master side the test plays.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/drivers/tty_linux.h"

namespace ttytest {

namespace fs = std::filesystem;

// A temporary folder removed again at the end of the test.
class TempTree {
  public:
    TempTree() {
        char pattern[] = "/tmp/kestrel-tty-XXXXXX";
        root_ = mkdtemp(pattern);
        chmod(root_.c_str(), 0755);
    }
    ~TempTree() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return root_; }
    std::string Path(const std::string& rel) const { return root_ + "/" + rel; }

    void Write(const std::string& rel, const std::string& text) const {
        fs::create_directories(fs::path(Path(rel)).parent_path());
        std::ofstream(Path(rel)) << text;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(Path(rel));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Link(const std::string& rel, const std::string& target) const {
        fs::create_directories(fs::path(Path(rel)).parent_path());
        fs::create_symlink(target, Path(rel));
    }

    // A USB serial adapter as the kernel shows it: the USB device (with `product`) at
    // usbRel, an interface folder below it, the serial port below that, and the tty class
    // entry pointing at the port, `depth` interface levels deep.
    void AddAdapter(const std::string& tty, const std::string& usbRel, const std::string& product,
                    int depth = 1) const {
        Write(usbRel + "/product", product + "\n");
        Write(usbRel + "/idVendor", "0403\n");
        Write(usbRel + "/idProduct", "6001\n");
        Write(usbRel + "/serial", "A" + tty + "\n");
        std::string port = usbRel;
        for (int i = 0; i < depth; ++i) {
            port += "/" + fs::path(usbRel).filename().string() + ":1." + std::to_string(i);
        }
        port += "/" + tty;
        fs::create_directories(Path(port + "/tty/" + tty));
        Link("class/tty/" + tty, Path(port + "/tty/" + tty));
        Link(port + "/tty/" + tty + "/device", Path(port));
    }

  private:
    std::string root_;
};

// A pseudo-terminal: the test holds the master, the driver opens the slave by its path.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        slave_ = ptsname(master_);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& Slave() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

  private:
    int master_ = -1;
    std::string slave_;
};

} // namespace ttytest
