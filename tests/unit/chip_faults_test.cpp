// The fault list both emulators take: the chip's own faults parsed by the
// model, the rest handed to the caller, and anything unknown or malformed
// refused by name, so that a typo in a test's faults cannot pass unnoticed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ft232r_model.hpp"

namespace ft232r {
namespace {

TEST(FaultList, TakesTheChipsFaultsAndRefusesAnythingElse) {
    const struct {
        const char* text;
        FaultItem result;
        const char* refused;  // "": none
        ChipFaults chip;      // what was taken, when all was
        std::vector<std::string> handedOn;
    } cases[] = {
        // clang-format off
        {"", FaultItem::Taken, "", {}, {}},
        {"writes=0", FaultItem::Taken, "", {0}, {}},
        {"writes=12", FaultItem::Taken, "", {12}, {}},
        {"clone", FaultItem::Taken, "", {-1, true}, {}},
        {"per-word", FaultItem::Taken, "", {-1, false, true}, {}},
        {"stale-buffer", FaultItem::Taken, "", {-1, false, false, true}, {}},
        {"and-writes", FaultItem::Taken, "", {-1, false, false, false, true}, {}},
        // Empty items are skipped; the caller's own faults go to the caller.
        {",clone,,bus,writes=3,", FaultItem::Taken, "", {3, true}, {"bus"}},
        {"writes=", FaultItem::Malformed, "writes=", {}, {}},
        {"writes", FaultItem::Malformed, "writes", {}, {}},
        {"writes=-1", FaultItem::Malformed, "writes=-1", {}, {}},
        {"writes=x", FaultItem::Malformed, "writes=x", {}, {}},
        {"writes=+3", FaultItem::Malformed, "writes=+3", {}, {}},
        {"writes= 3", FaultItem::Malformed, "writes= 3", {}, {}},
        {"writes=3x", FaultItem::Malformed, "writes=3x", {}, {}},
        {"writes=99999999999999999999", FaultItem::Malformed, "writes=99999999999999999999", {}, {}},
        {"clon", FaultItem::Unknown, "clon", {}, {"clon"}},
        {"CLONE", FaultItem::Unknown, "CLONE", {}, {"CLONE"}},
        {"clone=1", FaultItem::Unknown, "clone=1", {}, {"clone=1"}},
        // The first item refused stops the list; the caller says malformed.
        {"bus=x,clon", FaultItem::Malformed, "bus=x", {}, {"bus=x"}},
        {"clone,clon,per-word", FaultItem::Unknown, "clon", {}, {"clon"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ChipFaults chip;
        std::vector<std::string> handedOn;
        std::string refused;
        const FaultItem result = parseFaults(
            c.text, chip,
            [&](const std::string& item) {
                handedOn.push_back(item);
                return item == "bus"     ? FaultItem::Taken
                       : item == "bus=x" ? FaultItem::Malformed
                                         : FaultItem::Unknown;
            },
            refused);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(refused, c.refused);
        EXPECT_EQ(handedOn, c.handedOn);
        if (result != FaultItem::Taken) continue;
        EXPECT_EQ(chip.writesAllowed, c.chip.writesAllowed);
        EXPECT_EQ(chip.clone, c.chip.clone);
        EXPECT_EQ(chip.perWord, c.chip.perWord);
        EXPECT_EQ(chip.staleBuffer, c.chip.staleBuffer);
        EXPECT_EQ(chip.andWrites, c.chip.andWrites);
    }
}

TEST(FaultList, NumbersAreDigitsOnly) {
    const struct {
        const char* text;
        int base;
        bool ok;
        long value;
    } cases[] = {
        {"0", 10, true, 0},   {"42", 10, true, 42},   {"ff", 16, true, 0xFF},
        {"03", 16, true, 3},  {"", 10, false, 0},     {"-1", 10, false, 0},
        {"+1", 10, false, 0}, {" 1", 10, false, 0},   {"1 ", 10, false, 0},
        {"ff", 10, false, 0}, {"0x90", 16, false, 0}, {"99999999999999999999", 10, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        long value = -7;
        EXPECT_EQ(parseFaultNumber(c.text, c.base, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

}  // namespace
}  // namespace ft232r
