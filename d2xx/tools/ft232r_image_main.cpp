// ft232r-image: the EEPROM tool over the emulated bus, whose devices are
// image files; a test fixture, never installed.
#include "eeprom_tool.hpp"

int main(int argc, char** argv) { return eepromTool("ft232r-image", argc, argv); }
