// EEPROM image files: the 128-byte user area, optionally followed by the
// 128-byte factory area, byte for byte as the chip holds them.  One reader
// and one writer for the recovery tool's backups and the emulated chips.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ft232r {

// False for a file that cannot be read or has neither size; `error`, when
// given, then says which ("cannot read PATH", "PATH: expected 128 or 256
// bytes").
bool loadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                   std::string* error = nullptr);

// Replaces the file in one step (a temporary file, then a rename): a reader
// never sees half an image, and a failed save leaves the old file.
bool saveImageFile(const std::string& path, const std::uint8_t* bytes, std::size_t size);

}  // namespace ft232r
