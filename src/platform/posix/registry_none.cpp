// A terminal system has no registry: the key the tool asks for is never there, so the port
// search keeps its plain order (the COMn table already names USB devices only).
#include "platform/platform.h"

LONG RegOpenKeyExA(HKEY, const char*, DWORD, DWORD, HKEY* result) {
    if (result != nullptr) {
        *result = nullptr;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegEnumValueA(HKEY, DWORD, char*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*) {
    return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY) {
    return ERROR_FILE_NOT_FOUND;
}
