/* The Rivu device enabler: the functions the host application calls.
 *
 * rivu.dll (Windows x64) and librivu.so (Linux x86-64) export exactly these 18
 * undecorated C functions. Usable from C and C++. */
#ifndef RIVU_ENABLER_H
#define RIVU_ENABLER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define RIVU_API
#else
#define RIVU_API __attribute__((visibility("default")))
#endif

/* UTF-16 code unit: wchar_t on Windows, a 16-bit unsigned integer elsewhere. */
#if defined(_WIN32)
typedef wchar_t RivuWideChar;
#else
typedef uint16_t RivuWideChar;
#endif

/* Filled by GetDeviceClassInfo; 32 bytes, layout fixed by the host. */
typedef struct RivuDeviceClassInfo {
    uint32_t classIdData1;          /* class identifier in GUID layout */
    uint16_t classIdData2;
    uint16_t classIdData3;
    uint8_t classIdData4[8];
    const RivuWideChar* firstName;  /* "Rivu Device", owned by the library */
    const RivuWideChar* secondName;
} RivuDeviceClassInfo;

/* The record of DeviceCommand; offsets 0, 8, 24 and 32 are used. */
typedef struct RivuCommandRecord {
    char* text;                     /* text reply, NUL-terminated; may be null */
    int32_t textSize;               /* size of text in bytes */
    uint8_t unused1[12];
    int32_t argument;               /* channel number (from 1) or interval in us */
    uint32_t unused2;
    int32_t value;                  /* numeric reply */
} RivuCommandRecord;

/* Device command codes understood by DeviceCommand. */
enum RivuCommandCode {
    RIVU_CMD_DEVICE_NAME = 0,
    RIVU_CMD_MAX_LINE_LENGTH = 1,
    RIVU_CMD_VENDOR_NAME = 2,
    RIVU_CMD_FIRMWARE_VERSION = 3,
    RIVU_CMD_SERIAL_NUMBER = 4,
    RIVU_CMD_CHANNEL_COUNT = 11,
    RIVU_CMD_CHANNEL_NAME = 21,
    RIVU_CMD_CHANNEL_SCALING = 30,
    RIVU_CMD_SAMPLE_PERIOD = 31,
    RIVU_CMD_SAMPLE_PERIOD_TEXT = 32,
    RIVU_CMD_SET_SAMPLE_PERIOD = 35,
    RIVU_CMD_START_SAMPLING = 37,
    RIVU_CMD_STOP_SAMPLING = 38,
    RIVU_CMD_DATA_FORMAT = 39,
    RIVU_CMD_DISABLE_CHANNEL = 41,
    RIVU_CMD_ENABLE_CHANNEL = 42,
    RIVU_CMD_IS_CHANNEL_ENABLED = 43,
    RIVU_CMD_SAMPLE_PERIOD_2 = 45,
    RIVU_CMD_CAPABILITY_56 = 56,
    RIVU_CMD_CHANNEL_TITLE = 60
};

RIVU_API int GetDeviceClassInfo(RivuDeviceClassInfo* info);
RIVU_API int FindDevice(int* index, const char* selection);
RIVU_API int Initialise(unsigned int index);
RIVU_API int CloseAll(void);
RIVU_API int IsFailed(unsigned int index);
RIVU_API int CanUseBaudRate(unsigned int index, int rate);
RIVU_API void SetBaudRate(unsigned int index, int rate);
RIVU_API int GetBaudRate(unsigned int index);
RIVU_API int ReadLine(unsigned int index, char* buffer, int size, int timeoutMs);
RIVU_API void FlushReadBuffer(unsigned int index);
RIVU_API int GetUniqueID(unsigned int index, int* id);
RIVU_API int DeviceCommand(unsigned int index, int code, RivuCommandRecord* record);
RIVU_API int GetLastErrorMsg(unsigned int index, char* buffer);
RIVU_API int InitOnMainThread(void);
RIVU_API int SetControllingProxy(unsigned int index, void* proxy);
/* The byte-buffer side of the host interface is unused: all three return 0
 * and ignore whatever arguments the host passes. */
RIVU_API int ReadBuffSize(void);
RIVU_API int ReadBuffer(void);
RIVU_API int WriteBuffer(void);

#ifdef __cplusplus
}
#endif

#endif
