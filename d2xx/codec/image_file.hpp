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

// Whether `path` may be saved to: it does not exist, or it is a regular
// file (a link is not followed: it is not one).  A directory, a device node,
// a link or anything else is refused, with `error` saying which.
bool imageFileTarget(const std::string& path, std::string* error = nullptr);

// Replaces the file in one step: the bytes go into a new file of a unique
// name in the same folder (created exclusively, so no link is followed and
// no other file taken over), which is then renamed over `path`, only where
// imageFileTarget allows.  A reader never sees half an image; a failed save
// leaves the old file and nothing else.  An existing file's permissions are
// kept.  `durable`: the bytes reach the disk before the rename (a backup).
bool saveImageFile(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                   std::string* error = nullptr, bool durable = false);

}  // namespace ft232r
