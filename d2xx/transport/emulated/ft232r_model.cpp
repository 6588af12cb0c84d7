#include "ft232r_model.hpp"

#include <algorithm>

namespace ft232r {

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
