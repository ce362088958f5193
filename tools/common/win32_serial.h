#pragma once
// Opening a COM port for a KMP line, shared by the Windows tools: the device namespace path, the
// line format (8 data bits, no parity, 2 stop bits, no flow control) and readable errors.

#include <windows.h>

#include <cstdint>
#include <string>

namespace zol::tools {

// The system's text for the calling thread's last error, in UTF-8 like everything the tools write
// (the 8-bit form would be in the system code page), without the trailing line break.
inline std::string LastErrorText() {
    const DWORD code = GetLastError();
    wchar_t wide[256] = {};
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, wide, 256, nullptr);
    char text[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text, sizeof text - 1, nullptr,
                        nullptr);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

// Opens `device` (COM3, or a \\.\ path) with `flags` (0 or FILE_FLAG_OVERLAPPED) and sets the KMP
// line format at `baud`; INVALID_HANDLE_VALUE with `error` set when that fails.
inline HANDLE OpenKmpSerialLine(const std::string& device, std::uint32_t baud, DWORD flags,
                                std::string& error) {
    // COM10 and above are only reachable through the device namespace.
    const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot open " + device + ": " + LastErrorText();
        return handle;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        error = device + " is not a serial port: " + LastErrorText();
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(handle, &dcb)) {
        error = "cannot configure " + device + ": " + LastErrorText();
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return handle;
}

}  // namespace zol::tools
