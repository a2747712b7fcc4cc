// HRESULT codes, Win32 error numbers and the helpers that join them.
#pragma once

#include "platform/types.h"

using HRESULT = std::int32_t;

constexpr HRESULT MakeHResult(std::uint32_t v) {
    return static_cast<HRESULT>(v);
}

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// Generic COM results.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
constexpr HRESULT E_ABORT = MakeHResult(0x80004004u);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
constexpr HRESULT E_PENDING = MakeHResult(0x8000000Au);
constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005u);
constexpr HRESULT E_HANDLE = MakeHResult(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154u);
constexpr HRESULT SELFREG_E_CLASS = MakeHResult(0x80040201u);

// Media framework results.
constexpr HRESULT VFW_S_NO_MORE_ITEMS = MakeHResult(0x00040103u);
constexpr HRESULT VFW_S_STATE_INTERMEDIATE = MakeHResult(0x00040237u);
constexpr HRESULT VFW_S_CANT_CUE = MakeHResult(0x00040268u);
constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHResult(0x80040200u);
constexpr HRESULT VFW_E_INVALIDSUBTYPE = MakeHResult(0x80040201u);
constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHResult(0x80040204u);
constexpr HRESULT VFW_E_FILTER_ACTIVE = MakeHResult(0x80040205u);
constexpr HRESULT VFW_E_NO_TYPES = MakeHResult(0x80040206u);
constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHResult(0x80040207u);
constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHResult(0x80040208u);
constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHResult(0x80040209u);
constexpr HRESULT VFW_E_NO_ALLOCATOR = MakeHResult(0x8004020Au);
constexpr HRESULT VFW_E_RUNTIME_ERROR = MakeHResult(0x8004020Bu);
constexpr HRESULT VFW_E_BUFFER_NOTSET = MakeHResult(0x8004020Cu);
constexpr HRESULT VFW_E_BUFFER_OVERFLOW = MakeHResult(0x8004020Du);
constexpr HRESULT VFW_E_BADALIGN = MakeHResult(0x8004020Eu);
constexpr HRESULT VFW_E_ALREADY_COMMITTED = MakeHResult(0x8004020Fu);
constexpr HRESULT VFW_E_BUFFERS_OUTSTANDING = MakeHResult(0x80040210u);
constexpr HRESULT VFW_E_NOT_COMMITTED = MakeHResult(0x80040211u);
constexpr HRESULT VFW_E_SIZENOTSET = MakeHResult(0x80040212u);
constexpr HRESULT VFW_E_NO_CLOCK = MakeHResult(0x80040213u);
constexpr HRESULT VFW_E_NO_INTERFACE = MakeHResult(0x80040215u);
constexpr HRESULT VFW_E_NOT_FOUND = MakeHResult(0x80040216u);
constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHResult(0x80040217u);
constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHResult(0x80040218u);
constexpr HRESULT VFW_E_CHANGING_FORMAT = MakeHResult(0x80040219u);
constexpr HRESULT VFW_E_STATE_CHANGED = MakeHResult(0x80040223u);
constexpr HRESULT VFW_E_NOT_STOPPED = MakeHResult(0x80040224u);
constexpr HRESULT VFW_E_NOT_PAUSED = MakeHResult(0x80040225u);
constexpr HRESULT VFW_E_NOT_RUNNING = MakeHResult(0x80040226u);
constexpr HRESULT VFW_E_WRONG_STATE = MakeHResult(0x80040227u);
constexpr HRESULT VFW_E_START_TIME_AFTER_END = MakeHResult(0x80040228u);
constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeHResult(0x8004022Au);
constexpr HRESULT VFW_E_SAMPLE_REJECTED = MakeHResult(0x8004022Bu);
constexpr HRESULT VFW_E_SAMPLE_REJECTED_EOS = MakeHResult(0x8004022Cu);
constexpr HRESULT VFW_E_TIMEOUT = MakeHResult(0x8004022Eu);
constexpr HRESULT VFW_E_NOT_ALLOWED_TO_SAVE =
    MakeHResult(0x8004023Au); // not relied on; kept for completeness

// Win32 error numbers (GetLastError values).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_OUTOFMEMORY = 14;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_BAD_UNIT = 20;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_SEEK = 25;
constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_TIMEOUT = 1460;

constexpr HRESULT HRESULT_FROM_WIN32(DWORD x) {
    return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                        : MakeHResult((x & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}

namespace platform {
// Sets the calling thread's last error; every file and device stand-in does so.
void SetLastError(DWORD error);
DWORD GetLastError();
// Maps an errno value onto the Win32 error number that Windows reports for the same condition.
DWORD Win32ErrorFromErrno(int err);
} // namespace platform

using platform::GetLastError;
using platform::SetLastError;
