// The one door from the tool to its platform: every console, window, serial and timing call the
// tool makes, and the plain structures they take. On Windows this is the real system; elsewhere it
// declares our own stand-ins with the same names, fields, sizes and values, and the build links
// one back end that implements them (the simulated machine for the tests, or real terminals and
// serial devices on POSIX).
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <cstdlib>

// Runs one line through the command interpreter and waits for it; the result is the interpreter's.
inline int run_console_command(const char* command) {
    return std::system(command);
}

#else

#include <cstdint>

typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int16_t SHORT;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HKEY;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

// Registry: the predefined key, the access asked, the value type and the results the tool tells
// apart.
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define KEY_READ 0x20019u
#define REG_SZ 1u
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L

#define GWL_STYLE (-16)
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_THICKFRAME 0x00040000L

#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define WINDOW_BUFFER_SIZE_EVENT 0x0004
#define MENU_EVENT 0x0008
#define FOCUS_EVENT 0x0010

#define RIGHT_ALT_PRESSED 0x0001
#define LEFT_ALT_PRESSED 0x0002
#define RIGHT_CTRL_PRESSED 0x0004
#define LEFT_CTRL_PRESSED 0x0008
#define SHIFT_PRESSED 0x0010
#define NUMLOCK_ON 0x0020
#define SCROLLLOCK_ON 0x0040
#define CAPSLOCK_ON 0x0080
#define ENHANCED_KEY 0x0100

#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_CONTROL 0x11
#define VK_MENU 0x12
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_F1 0x70
#define VK_F12 0x7B

#define COMMON_LVB_GRID_HORIZONTAL 0x0400
#define COMMON_LVB_GRID_LVERTICAL 0x0800
#define COMMON_LVB_GRID_RVERTICAL 0x1000

#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1

struct COORD {
    SHORT X;
    SHORT Y;
};

struct KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        CHAR AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
};

struct MOUSE_EVENT_RECORD {
    COORD dwMousePosition;
    DWORD dwButtonState;
    DWORD dwControlKeyState;
    DWORD dwEventFlags;
};

struct WINDOW_BUFFER_SIZE_RECORD {
    COORD dwSize;
};

struct MENU_EVENT_RECORD {
    UINT dwCommandId;
};

struct FOCUS_EVENT_RECORD {
    BOOL bSetFocus;
};

struct INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        MOUSE_EVENT_RECORD MouseEvent;
        WINDOW_BUFFER_SIZE_RECORD WindowBufferSizeEvent;
        MENU_EVENT_RECORD MenuEvent;
        FOCUS_EVENT_RECORD FocusEvent;
    } Event;
};

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

// The layouts the Windows headers give these structures on x86-64.
static_assert(sizeof(COORD) == 4, "COORD layout");
static_assert(sizeof(KEY_EVENT_RECORD) == 16, "KEY_EVENT_RECORD layout");
static_assert(sizeof(INPUT_RECORD) == 20, "INPUT_RECORD layout");
static_assert(sizeof(DCB) == 28, "DCB layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS layout");

// Console (kernel32). Results are non-zero on success, zero on failure, as on Windows.
HANDLE GetStdHandle(DWORD std_handle);
BOOL SetConsoleCursorPosition(HANDLE output, COORD cell);
BOOL SetConsoleTextAttribute(HANDLE output, WORD attribute);
BOOL WriteConsoleA(HANDLE output, const void* bytes, DWORD count, DWORD* written, void* reserved);
BOOL SetConsoleTitleA(const char* title);
HWND GetConsoleWindow();
BOOL GetNumberOfConsoleInputEvents(HANDLE input, DWORD* count);
BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* count);

// Window style (user32). GetWindowLongA returns 0 on failure; SetWindowLongA the previous value.
LONG GetWindowLongA(HWND window, int index);
LONG SetWindowLongA(HWND window, int index, LONG value);

// Serial communications (kernel32). CreateFileA returns INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(const char* name, DWORD access, DWORD share_mode, void* security, DWORD creation,
                   DWORD flags, HANDLE template_file);
BOOL BuildCommDCBA(const char* definition, DCB* dcb);
BOOL SetCommState(HANDLE port, DCB* dcb);
BOOL SetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* count, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* count, void* overlapped);
BOOL CloseHandle(HANDLE handle);

// Registry (advapi32). Results are ERROR_SUCCESS or an error code. RegEnumValueA takes the value
// name's room in characters and the data's in bytes, and gives back the lengths it stored (the
// name's without its zero); a value too long for the room gives ERROR_MORE_DATA.
LONG RegOpenKeyExA(HKEY key, const char* sub_key, DWORD options, DWORD access, HKEY* result);
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_length);
LONG RegCloseKey(HKEY key);

void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start; wraps after 49.7 days, so only differences count.
DWORD GetTickCount();

// The command interpreter's stand-in: knows "chcp 28591", "cls" and "pause > NUL", the three
// lines the tool runs, and never starts a shell.
int run_console_command(const char* command);

#endif
