// The default build: with no LD_LIBRARY_PATH, varnolt finds the
// libftdi1-backed libftd2xx.so through its RUNPATH and looks on the real USB
// bus.  With no FT232R attached (as on CI, or on a machine with no USB at
// all) that is the no-device message, never a crash.
#include "fixture.hpp"

namespace {

namespace fs = std::filesystem;

// A Linux loader's case: not one for the Windows build under Wine.
class DefaultLibrary : public LinuxEndToEnd {};

TEST_F(DefaultLibrary, NoDeviceOnTheUsbBusWithoutLibraryPath) {
    // An emulated device that only the emulator would see: it must not be.
    const std::string image = addDevice(ft232r::makeImage(exampleFields("EMULATED")));

    const ProcessResult result =
        runProcess({VARNOLT_EXE, "-r"}, {{"LD_LIBRARY_PATH", ""},
                                         {"FT232R_EMULATOR_DEVICES", image},
                                         {"LD_DEBUG", "libs"},
                                         {"LD_DEBUG_OUTPUT", dir_ + "/ld"}});
    EXPECT_EQ(result.signal, 0);
    if (result.status == 0) {
        // A readable FT232R is attached to this machine: -r reports it.
        EXPECT_EQ(result.out.rfind(kBanner + "Serial Number : ", 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
    } else {
        EXPECT_EQ(result.out, kBanner);
        // An attached FT232R whose node refuses access is named first.
        std::string err = result.err;
        if (err.rfind("libftd2xx: permission denied on the USB device at ", 0) == 0) {
            err.erase(0, err.find('\n') + 1);
        }
        EXPECT_EQ(err, kNoDevice);
        EXPECT_EQ(result.status, 255);
    }

    // The library came from the libftdi1 layer's folder, found through a
    // RUNPATH (which LD_LIBRARY_PATH overrides), not an RPATH.  The loader's
    // trace (LD_DEBUG=libs) is a file per process, ld.<pid>.
    const std::string marker = "calling init: ";
    std::string trace, loaded;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        if (entry.path().filename().string().rfind("ld.", 0) != 0) continue;
        for (const std::string& line : readLines(entry.path())) {
            trace += line + "\n";
            const std::size_t at = line.find(marker);
            if (at != std::string::npos && line.find("libftd2xx.so") != std::string::npos) {
                loaded = line.substr(at + marker.size());
            }
        }
    }
    ASSERT_FALSE(loaded.empty()) << trace;
    EXPECT_EQ(fs::canonical(loaded), fs::canonical(fs::path(LIBFTDI_DIR) / "libftd2xx.so"));
    EXPECT_NE(trace.find("(RUNPATH from file"), std::string::npos) << trace;
}

}  // namespace
