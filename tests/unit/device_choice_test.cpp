// FTD2XX_DEVICE: which devices a choice keeps, and why a given one keeps none.
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
        const char* choice;  // nullptr: unset
        bool portPath;
        std::vector<std::size_t> kept;
        const char* why;  // when a given choice keeps none for a reason
    } cases[] = {
        // clang-format off
        {nullptr, false, {0, 1, 2, 3, 4}, ""},
        // Set but empty (a script's $PORT that came out empty): no device.
        {"", false, {}, "FTD2XX_DEVICE is set but empty: it chooses no device (unset it to use the first device, or give a port path such as 1-1.4, or a serial number)"},
        {"1-1", true, {0}, ""},
        {"1-1.4", true, {1}, ""},
        {"3-2.1.7", true, {2}, ""},
        {"1-5", true, {}, ""},
        {"A1", false, {0}, ""},
        // Shared by two devices: which one would be written is a guess.
        {"B2", false, {}, "FTD2XX_DEVICE=B2 chooses no device: the FT232Rs at 1-1.4 and 3-2.1.7 share that serial number; choose by port path, e.g. FTD2XX_DEVICE=1-1.4"},
        // A serial number shaped like a port path is taken as the path.
        {"1-9", true, {}, ""},
        {"1-", false, {}, ""},
        {"-1", false, {}, ""},
        {"1-1.", false, {}, ""},
        {"1-1..4", false, {}, ""},
        {"1_1", false, {}, ""},
        {"a1-1", false, {}, ""},
        {"Z\x1b[2J", false, {}, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice != nullptr ? c.choice : "(unset)");
        const d2xx::DeviceChoice choice =
            c.choice != nullptr ? d2xx::DeviceChoice{true, c.choice} : d2xx::DeviceChoice{};
        EXPECT_EQ(d2xx::isPortPath(choice.text), c.portPath);
        std::string why;
        EXPECT_EQ(d2xx::chooseDevices(devices, choice, &why), c.kept);
        EXPECT_EQ(why, c.why);
    }
}

// A device whose strings could not be read (no permission, in use) may be
// the one a serial number means: such a choice takes none; a port path
// still takes its device.
TEST(DeviceChoice, AnUnreadSerialNumberMakesASerialChoiceAGuess) {
    std::vector<d2xx::DeviceEntry> devices = {{"FT232R USB UART", "A1", "1-1"}, {"", "", "1-2"}};
    devices[1].stringsRead = false;
    std::string why;
    // The variable's text is shown as serial numbers are: control bytes as \xNN.
    EXPECT_TRUE(d2xx::chooseDevices(devices, {true, "A1\x07"}, &why).empty());
    EXPECT_EQ(why.rfind("FTD2XX_DEVICE=A1\\x07 chooses no device: ", 0), 0u) << why;
    EXPECT_TRUE(d2xx::chooseDevices(devices, {true, "A1"}, &why).empty());
    EXPECT_EQ(why,
              "FTD2XX_DEVICE=A1 chooses no device: the serial number of the FT232R at 1-2 could "
              "not be read, and it may be the one meant; choose by port path, e.g. "
              "FTD2XX_DEVICE=1-2");
    EXPECT_EQ(d2xx::chooseDevices(devices, {true, "1-1"}), std::vector<std::size_t>{0});
}

}  // namespace
