#include "ft232r_model.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace ft232r {

FaultItem parseFaults(const std::string& text, ChipFaults& chip,
                      const std::function<FaultItem(const std::string& item)>& other,
                      std::string& refused) {
    static const std::pair<const char*, bool ChipFaults::*> kFlags[] = {
        {"clone", &ChipFaults::clone},
        {"per-word", &ChipFaults::perWord},
        {"stale-buffer", &ChipFaults::staleBuffer},
        {"and-writes", &ChipFaults::andWrites},
    };
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        if (item.empty()) continue;
        const std::size_t equals = item.find('=');
        FaultItem taken = FaultItem::Unknown;
        long allowed = 0;
        if (item.substr(0, equals) == "writes") {
            const bool number = equals != std::string::npos &&
                                parseFaultNumber(item.substr(equals + 1), 10, allowed);
            if (number) chip.writesAllowed = allowed;
            taken = number ? FaultItem::Taken : FaultItem::Malformed;
        }
        for (const auto& [name, flag] : kFlags) {
            if (item == name) {
                chip.*flag = true;
                taken = FaultItem::Taken;
            }
        }
        if (taken == FaultItem::Unknown) taken = other(item);
        if (taken != FaultItem::Taken) {
            refused = item;
            return taken;
        }
    }
    return FaultItem::Taken;
}

bool parseFaultNumber(const std::string& text, int base, long& out) {
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.empty() || text.find_first_not_of(digits) != std::string::npos) return false;
    errno = 0;
    out = std::strtol(text.c_str(), nullptr, base);
    return errno == 0;
}

ChipEeprom::ChipEeprom(const std::vector<std::uint8_t>& image, ChipFaults faults)
    : faults_(faults) {
    cells_.fill(0xFF);
    std::copy_n(image.begin(), std::min(image.size(), cells_.size()), cells_.begin());
}

std::uint16_t ChipEeprom::read(unsigned address) const {
    return static_cast<std::uint16_t>(cells_[2 * address] | (cells_[2 * address + 1] << 8));
}

WordWrite ChipEeprom::write(unsigned address, std::uint16_t value) {
    ++writes_;
    if (faults_.writesAllowed >= 0 && writes_ > faults_.writesAllowed) return WordWrite::Failed;
    if (address >= kImageWords) return WordWrite::Refused;
    if (faults_.clone) return WordWrite::Dropped;
    if (faults_.perWord) {
        store(address, value);
        return WordWrite::Kept;
    }
    if (address % 2 == 0) {
        if (!faults_.staleBuffer) buffer_ = value;
        return WordWrite::Dropped;
    }
    store(address - 1, buffer_);
    store(address, value);
    return WordWrite::Kept;
}

Image ChipEeprom::userArea() const {
    Image image{};
    std::copy_n(cells_.begin(), image.size(), image.begin());
    return image;
}

void ChipEeprom::store(unsigned address, std::uint16_t value) {
    if (faults_.andWrites) value &= read(address);
    cells_[2 * address] = static_cast<std::uint8_t>(value & 0xFF);
    cells_[2 * address + 1] = static_cast<std::uint8_t>(value >> 8);
}

bool saveImageFile(const std::string& path, const ChipEeprom& chip, std::size_t size) {
    return saveImageFile(path, chip.cells().data(), std::min(size, ChipEeprom::kBytes));
}

}  // namespace ft232r
