// varnolt-eeprom: the EEPROM tool over the USB bus (libftdi1).
#include "eeprom_tool.hpp"

int main(int argc, char** argv) { return eepromTool("varnolt-eeprom", argc, argv); }
