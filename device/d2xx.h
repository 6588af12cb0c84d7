/*
 * The D2XX driver interface as varnolt uses it: the five operations, their
 * record and the constants handed to them.  Declared from the vendor's
 * published prototypes; any library that follows that ABI (the vendor's own,
 * our emulator, our libftdi1 layer) can stand behind it.
 *
 * Plain C so that both the tool and the stand-in libraries can include it.
 */
#ifndef VARNOLT_DEVICE_D2XX_H
#define VARNOLT_DEVICE_D2XX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#include <windows.h>
/* windows.h already gives DWORD (32-bit), WORD, UCHAR, BOOL (signed int),
 * HANDLE, PVOID and WINAPI (__stdcall on 32-bit, nothing on 64-bit). */
#else
/* Linux: the vendor header's widths.  DWORD must stay 32 bits on LP64,
 * BOOL is unsigned there, and the calling convention is the plain C ABI. */
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t UCHAR;
typedef uint32_t BOOL;
typedef void *HANDLE;
typedef void *PVOID;
typedef void *LPVOID;
#define WINAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID FT_HANDLE;
typedef ULONG FT_STATUS;

/* Status codes, as numbered by the driver. */
enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
    FT_DEVICE_LIST_NOT_READY = 19
};

/* Open and list flags: varnolt lists a device's description by index and
 * opens it by that description. */
#define FT_OPEN_BY_DESCRIPTION 2u
#define FT_LIST_BY_INDEX 0x40000000u

/* Win32 constants handed through to FT_W32_CreateFile; windows.h has them. */
#if !defined(_WIN32)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#endif

/*
 * The EEPROM record through Version 5.  Natural alignment, no packing: the
 * layout below matches the published one for both pointer widths (checked
 * by the static asserts at the end).  A library may fill every block up to
 * the Version it is given, so the whole record is declared even though
 * varnolt asks for Version 2 only.
 */
typedef struct ft_program_data {
    DWORD Signature1; /* must be 0x00000000 */
    DWORD Signature2; /* must be 0xFFFFFFFF */
    DWORD Version;    /* 0 original, 1 FT2232, 2 FT232R, 3 FT2232H, 4 FT4232H, 5 FT232H */

    /* Version 0 */
    WORD VendorId;
    WORD ProductId;
    char *Manufacturer;
    char *ManufacturerId;
    char *Description;
    char *SerialNumber;
    WORD MaxPower; /* mA */
    WORD PnP;
    WORD SelfPowered;
    WORD RemoteWakeup;
    UCHAR Rev4;
    UCHAR IsoIn;
    UCHAR IsoOut;
    UCHAR PullDownEnable;
    UCHAR SerNumEnable;
    UCHAR USBVersionEnable;
    WORD USBVersion;

    /* Version 1: FT2232 */
    UCHAR Rev5;
    UCHAR IsoInA;
    UCHAR IsoInB;
    UCHAR IsoOutA;
    UCHAR IsoOutB;
    UCHAR PullDownEnable5;
    UCHAR SerNumEnable5;
    UCHAR USBVersionEnable5;
    WORD USBVersion5;
    UCHAR AIsHighCurrent;
    UCHAR BIsHighCurrent;
    UCHAR IFAIsFifo;
    UCHAR IFAIsFifoTar;
    UCHAR IFAIsFastSer;
    UCHAR AIsVCP;
    UCHAR IFBIsFifo;
    UCHAR IFBIsFifoTar;
    UCHAR IFBIsFastSer;
    UCHAR BIsVCP;

    /* Version 2: FT232R */
    UCHAR UseExtOsc;
    UCHAR HighDriveIOs;
    UCHAR EndpointSize;
    UCHAR PullDownEnableR;
    UCHAR SerNumEnableR;
    UCHAR InvertTXD;
    UCHAR InvertRXD;
    UCHAR InvertRTS;
    UCHAR InvertCTS;
    UCHAR InvertDTR;
    UCHAR InvertDSR;
    UCHAR InvertDCD;
    UCHAR InvertRI;
    UCHAR Cbus0;
    UCHAR Cbus1;
    UCHAR Cbus2;
    UCHAR Cbus3;
    UCHAR Cbus4;
    UCHAR RIsD2XX;

    /* Version 3: FT2232H */
    UCHAR PullDownEnable7;
    UCHAR SerNumEnable7;
    UCHAR ALSlowSlew;
    UCHAR ALSchmittInput;
    UCHAR ALDriveCurrent;
    UCHAR AHSlowSlew;
    UCHAR AHSchmittInput;
    UCHAR AHDriveCurrent;
    UCHAR BLSlowSlew;
    UCHAR BLSchmittInput;
    UCHAR BLDriveCurrent;
    UCHAR BHSlowSlew;
    UCHAR BHSchmittInput;
    UCHAR BHDriveCurrent;
    UCHAR IFAIsFifo7;
    UCHAR IFAIsFifoTar7;
    UCHAR IFAIsFastSer7;
    UCHAR AIsVCP7;
    UCHAR IFBIsFifo7;
    UCHAR IFBIsFifoTar7;
    UCHAR IFBIsFastSer7;
    UCHAR BIsVCP7;
    UCHAR PowerSaveEnable;

    /* Version 4: FT4232H */
    UCHAR PullDownEnable8;
    UCHAR SerNumEnable8;
    UCHAR ASlowSlew;
    UCHAR ASchmittInput;
    UCHAR ADriveCurrent;
    UCHAR BSlowSlew;
    UCHAR BSchmittInput;
    UCHAR BDriveCurrent;
    UCHAR CSlowSlew;
    UCHAR CSchmittInput;
    UCHAR CDriveCurrent;
    UCHAR DSlowSlew;
    UCHAR DSchmittInput;
    UCHAR DDriveCurrent;
    UCHAR ARIIsTXDEN;
    UCHAR BRIIsTXDEN;
    UCHAR CRIIsTXDEN;
    UCHAR DRIIsTXDEN;
    UCHAR AIsVCP8;
    UCHAR BIsVCP8;
    UCHAR CIsVCP8;
    UCHAR DIsVCP8;

    /* Version 5: FT232H */
    UCHAR PullDownEnableH;
    UCHAR SerNumEnableH;
    UCHAR ACSlowSlewH;
    UCHAR ACSchmittInputH;
    UCHAR ACDriveCurrentH;
    UCHAR ADSlowSlewH;
    UCHAR ADSchmittInputH;
    UCHAR ADDriveCurrentH;
    UCHAR Cbus0H;
    UCHAR Cbus1H;
    UCHAR Cbus2H;
    UCHAR Cbus3H;
    UCHAR Cbus4H;
    UCHAR Cbus5H;
    UCHAR Cbus6H;
    UCHAR Cbus7H;
    UCHAR Cbus8H;
    UCHAR Cbus9H;
    UCHAR IsFifoH;
    UCHAR IsFifoTarH;
    UCHAR IsFastSerH;
    UCHAR IsFT1248H;
    UCHAR FT1248CpolH;
    UCHAR FT1248LsbH;
    UCHAR FT1248FlowControlH;
    UCHAR IsVCPH;
    UCHAR PowerSaveEnableH;
} FT_PROGRAM_DATA;

typedef FT_PROGRAM_DATA *PFT_PROGRAM_DATA;

/* The five operations, as function-pointer types for run-time loading and
 * as declarations for the stand-in libraries that define them. */
typedef FT_STATUS(WINAPI *FT_ListDevices_fn)(PVOID arg1, PVOID arg2, DWORD flags);
typedef FT_HANDLE(WINAPI *FT_W32_CreateFile_fn)(const char *name, DWORD access, DWORD shareMode,
                                                LPVOID securityAttributes, DWORD creation,
                                                DWORD attrsAndFlags, HANDLE templateFile);
typedef FT_STATUS(WINAPI *FT_EE_Read_fn)(FT_HANDLE handle, PFT_PROGRAM_DATA data);
typedef FT_STATUS(WINAPI *FT_EE_Program_fn)(FT_HANDLE handle, PFT_PROGRAM_DATA data);
typedef BOOL(WINAPI *FT_W32_CloseHandle_fn)(FT_HANDLE handle);

#if defined(VARNOLT_D2XX_EXPORTS)
#if defined(_WIN32)
#define VARNOLT_D2XX_API __declspec(dllexport)
#else
#define VARNOLT_D2XX_API __attribute__((visibility("default")))
#endif
VARNOLT_D2XX_API FT_STATUS WINAPI FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags);
VARNOLT_D2XX_API FT_HANDLE WINAPI FT_W32_CreateFile(const char *name, DWORD access, DWORD shareMode,
                                                    LPVOID securityAttributes, DWORD creation,
                                                    DWORD attrsAndFlags, HANDLE templateFile);
VARNOLT_D2XX_API FT_STATUS WINAPI FT_EE_Read(FT_HANDLE handle, PFT_PROGRAM_DATA data);
VARNOLT_D2XX_API FT_STATUS WINAPI FT_EE_Program(FT_HANDLE handle, PFT_PROGRAM_DATA data);
VARNOLT_D2XX_API BOOL WINAPI FT_W32_CloseHandle(FT_HANDLE handle);
#endif

#ifdef __cplusplus
}
#endif

/* The record's layout is an ABI: check its size and the offsets the tool and
 * the stand-ins depend on, for whichever pointer width this build has. */
#ifdef __cplusplus
#define VARNOLT_STATIC_ASSERT static_assert
#else
#define VARNOLT_STATIC_ASSERT _Static_assert
#endif
VARNOLT_STATIC_ASSERT(sizeof(DWORD) == 4 && sizeof(WORD) == 2 && sizeof(UCHAR) == 1,
                      "D2XX integer widths");
VARNOLT_STATIC_ASSERT(sizeof(FT_STATUS) == 4, "FT_STATUS is 32 bits");
#if UINTPTR_MAX == 0xFFFFFFFFu
VARNOLT_STATIC_ASSERT(sizeof(FT_PROGRAM_DATA) == 160, "record size, 4-byte pointers");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Manufacturer) == 16, "Manufacturer");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, SerialNumber) == 28, "SerialNumber");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, MaxPower) == 32, "MaxPower");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, USBVersion) == 46, "USBVersion");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Rev5) == 48, "Version 1 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, UseExtOsc) == 68, "Version 2 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Cbus0) == 81, "Cbus0");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Cbus4) == 85, "Cbus4");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, PullDownEnable7) == 87, "Version 3 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, PowerSaveEnableH) == 158, "last field");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
VARNOLT_STATIC_ASSERT(sizeof(FT_PROGRAM_DATA) == 176, "record size, 8-byte pointers");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Manufacturer) == 16, "Manufacturer");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, SerialNumber) == 40, "SerialNumber");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, MaxPower) == 48, "MaxPower");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, USBVersion) == 62, "USBVersion");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Rev5) == 64, "Version 1 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, UseExtOsc) == 84, "Version 2 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Cbus0) == 97, "Cbus0");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, Cbus4) == 101, "Cbus4");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, PullDownEnable7) == 103, "Version 3 block");
VARNOLT_STATIC_ASSERT(offsetof(FT_PROGRAM_DATA, PowerSaveEnableH) == 174, "last field");
#else
#error "D2XX record layout known for 4- and 8-byte pointers only"
#endif

#endif /* VARNOLT_DEVICE_D2XX_H */
