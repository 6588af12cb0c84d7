// A D2XX record with its own string buffers of the conventional sizes, as
// varnolt lays it out, for tests that call a D2XX library directly.
#pragma once

#include "d2xx.h"

struct Record {
    Record() {
        data.Signature1 = 0x00000000;
        data.Signature2 = 0xFFFFFFFF;
        data.Version = 2;
        data.Manufacturer = manufacturer;
        data.ManufacturerId = manufacturerId;
        data.Description = description;
        data.SerialNumber = serial;
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    FT_PROGRAM_DATA data{};
    char manufacturer[32] = {};
    char manufacturerId[16] = {};
    char description[64] = {};
    char serial[16] = {};
};
