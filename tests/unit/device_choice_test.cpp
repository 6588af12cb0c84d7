// FTD2XX_DEVICE: which devices a choice keeps.
#include "device_choice.hpp"

#include <gtest/gtest.h>

namespace {

TEST(DeviceChoice, PortPathOrSerialNumber) {
    const std::vector<d2xx::DeviceEntry> devices = {
        {"FT232R USB UART", "A1", "1-1"},     {"FT232R USB UART", "B2", "1-1.4"},
        {"FT232R USB UART", "B2", "3-2.1.7"}, {"FT232R USB UART", "1-9", "1-2"},
        {"FT232R USB UART", "", "1-3"},
    };
    const struct {
        const char* choice;
        bool portPath;
        std::vector<std::size_t> kept;
    } cases[] = {
        {"", false, {0, 1, 2, 3, 4}},
        {"1-1", true, {0}},
        {"1-1.4", true, {1}},
        {"3-2.1.7", true, {2}},
        {"1-5", true, {}},
        {"A1", false, {0}},
        // Shared by two devices: which one would be written is a guess.
        {"B2", false, {}},
        // A serial number shaped like a port path is taken as the path.
        {"1-9", true, {}},
        {"1-", false, {}},
        {"-1", false, {}},
        {"1-1.", false, {}},
        {"1-1..4", false, {}},
        {"1_1", false, {}},
        {"a1-1", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice);
        EXPECT_EQ(d2xx::isPortPath(c.choice), c.portPath);
        EXPECT_EQ(d2xx::chooseDevices(devices, c.choice), c.kept);
    }
}

}  // namespace
