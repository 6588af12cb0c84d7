// The default build: with no LD_LIBRARY_PATH, varnolt finds the
// libftdi1-backed libftd2xx.so through its RUNPATH and looks on the real USB
// bus.  With no FT232R attached (as on CI, or on a machine with no USB at
// all) that is the no-device message, never a crash.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ft232r_eeprom.hpp"
#include "images.hpp"
#include "process.hpp"

namespace {

namespace fs = std::filesystem;

class DefaultLibrary : public testing::Test, protected ImageFolder {
  protected:
    DefaultLibrary() : ImageFolder("varnolt-default") {}
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    // The loader's trace of one run (LD_DEBUG=libs), all files joined.
    std::string loaderTrace() const {
        std::string trace;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("ld.", 0) == 0) {
                std::ifstream in(entry.path());
                trace.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        }
        return trace;
    }
};

TEST_F(DefaultLibrary, NoDeviceOnTheUsbBusWithoutLibraryPath) {
    // An emulated device that only the emulator would see: it must not be.
    const std::string image = addDevice(ft232r::makeImage(exampleFields("EMULATED")));

    const ProcessResult result =
        runProcess({VARNOLT_EXE, "-r"}, {{"LD_LIBRARY_PATH", ""},
                                         {"FT232R_EMULATOR_DEVICES", image},
                                         {"LD_DEBUG", "libs"},
                                         {"LD_DEBUG_OUTPUT", dir_ + "/ld"}});
    const std::string banner = "varnolt 1.0.0 - FT232R serial number and CBUS configurator\n";
    EXPECT_EQ(result.signal, 0);
    if (result.status == 0) {
        // A readable FT232R is attached to this machine: -r reports it.
        EXPECT_EQ(result.out.rfind(banner + "Serial Number : ", 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_EQ(result.out, banner);
        // An attached FT232R whose node refuses access is named first.
        std::string err = result.err;
        if (err.rfind("libftd2xx: permission denied on the USB device at ", 0) == 0) {
            err.erase(0, err.find('\n') + 1);
        }
        EXPECT_EQ(err, "Error: may be not connected a beacon\n");
        EXPECT_EQ(result.status, 255);
    }

    // The library came from the libftdi1 layer's folder, found through a
    // RUNPATH (which LD_LIBRARY_PATH overrides), not an RPATH.
    const std::string trace = loaderTrace();
    const std::string marker = "calling init: ";
    std::string loaded;
    for (std::size_t from = trace.find(marker); from != std::string::npos;
         from = trace.find(marker, from + 1)) {
        const std::size_t end = trace.find('\n', from);
        const std::string path = trace.substr(from + marker.size(), end - from - marker.size());
        if (path.find("libftd2xx.so") != std::string::npos) {
            loaded = path;
        }
    }
    ASSERT_FALSE(loaded.empty()) << trace;
    EXPECT_EQ(fs::canonical(loaded), fs::canonical(fs::path(LIBFTDI_DIR) / "libftd2xx.so"));
    EXPECT_NE(trace.find("(RUNPATH from file"), std::string::npos) << trace;
}

}  // namespace
