// The console driver: a small Windows program that runs the tool as a child sharing its console,
// types on it by injecting key records into CONIN$, and reads its screen back from CONOUT$, the
// way a person at the console would see it. Under Wine's terminal console typed keys do not reach
// a program that only polls, so injecting the records is the only way to drive the tool there.
//
// Usage: console_driver SCRIPT LOG
// SCRIPT holds one command a line; LOG gets one line per command, "ok ..." or "FAIL ...". The
// driver stops at the first failure, ends the child if it still runs, and exits 1; else 0.
//
//   start EXE                 start the tool; it shares this console
//   wait_text COL ROW TEXT    poll the screen until TEXT (the rest of the line) stands at the cell
//   absent COL ROW TEXT       fail if TEXT stands at the cell now
//   key VK [MODS]             one press: a key-down record then a key-up record
//   down VK [MODS] / up VK [MODS]
//   keys COUNT VK             COUNT presses of one key, queued at once
//   record mouse|focus|menu|size   one record that is not a key record
//   sleep MS
//   dump PATH                 the screen: title, size, a text line and an attribute line a row
//   touch PATH / wait_file PATH    hand-shakes with the runner on the Linux side
//   alive                     fail if the tool has ended
//   wait_exit MS              wait for the tool to end; logs "exit CODE"
// VK is a virtual-key code in hex; MODS is any of shift, ctrl, alt, caps joined by '+'.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD wait_text_timeout_ms = 30000;
constexpr DWORD wait_file_timeout_ms = 30000;
constexpr DWORD poll_ms = 20;

struct driver {
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION child = {};
    bool started = false;
    FILE* log = nullptr;
};

void log_line(driver& d, const char* verdict, const std::string& text) {
    std::fprintf(d.log, "%s %s\n", verdict, text.c_str());
    std::fflush(d.log);
}

HANDLE open_console(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

struct capture {
    SHORT columns = 0;
    SHORT rows = 0;
    std::vector<CHAR_INFO> cells;
    std::string title;
};

// Where a cell is in the capture's row-major array.
size_t cell_index(const capture& c, SHORT column, SHORT row) {
    return static_cast<size_t>(row) * static_cast<size_t>(c.columns) + static_cast<size_t>(column);
}

bool read_screen(driver& d, capture* out) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(d.output, &info)) {
        return false;
    }
    out->columns = info.dwSize.X;
    out->rows = info.dwSize.Y;
    out->cells.assign(cell_index(*out, 0, out->rows), CHAR_INFO{});
    // Row by row: one call for the whole buffer can exceed what the console hands back at once.
    for (SHORT row = 0; row < out->rows; ++row) {
        SMALL_RECT region = {0, row, static_cast<SHORT>(out->columns - 1), row};
        COORD size = {out->columns, 1};
        COORD origin = {0, 0};
        if (!ReadConsoleOutputA(d.output, &out->cells[cell_index(*out, 0, row)], size, origin,
                                &region)) {
            return false;
        }
    }
    char title[512] = {};
    GetConsoleTitleA(title, sizeof title);
    out->title = title;
    return true;
}

std::string row_text(const capture& c, SHORT row) {
    std::string text;
    for (SHORT column = 0; column < c.columns; ++column) {
        const unsigned char ch =
            static_cast<unsigned char>(c.cells[cell_index(c, column, row)].Char.AsciiChar);
        text += (ch >= 0x20 && ch < 0x7F) ? static_cast<char>(ch) : '?';
    }
    return text;
}

bool text_at(const capture& c, int column, int row, const std::string& text) {
    if (row < 0 || row >= c.rows || column < 0 ||
        column + static_cast<int>(text.size()) > c.columns) {
        return false;
    }
    return row_text(c, static_cast<SHORT>(row))
               .compare(static_cast<size_t>(column), text.size(), text) == 0;
}

bool write_dump(const capture& c, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::fprintf(file, "title %s\nsize %d %d\n", c.title.c_str(), c.columns, c.rows);
    for (SHORT row = 0; row < c.rows; ++row) {
        std::fprintf(file, "t %02d |%s|\n", row, row_text(c, row).c_str());
    }
    for (SHORT row = 0; row < c.rows; ++row) {
        std::fprintf(file, "a %02d", row);
        for (SHORT column = 0; column < c.columns; ++column) {
            std::fprintf(file, " %04X", c.cells[cell_index(c, column, row)].Attributes);
        }
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0;
}

DWORD parse_modifiers(const std::string& mods) {
    DWORD state = 0;
    if (mods.find("shift") != std::string::npos)
        state |= SHIFT_PRESSED;
    if (mods.find("ctrl") != std::string::npos)
        state |= LEFT_CTRL_PRESSED;
    if (mods.find("alt") != std::string::npos)
        state |= LEFT_ALT_PRESSED;
    if (mods.find("caps") != std::string::npos)
        state |= CAPSLOCK_ON;
    return state;
}

// The character a key record carries, as the console would fill it in for a US layout.
char key_character(WORD vk, DWORD state) {
    if (vk >= 'A' && vk <= 'Z') {
        if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) {
            return static_cast<char>(vk - 'A' + 1);
        }
        const bool upper = ((state & SHIFT_PRESSED) != 0) != ((state & CAPSLOCK_ON) != 0);
        return upper ? static_cast<char>(vk) : static_cast<char>(vk - 'A' + 'a');
    }
    if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_RETURN || vk == VK_ESCAPE ||
        vk == VK_TAB || vk == VK_BACK) {
        return static_cast<char>(vk);
    }
    return 0;
}

INPUT_RECORD key_record(WORD vk, DWORD state, bool down) {
    INPUT_RECORD record = {};
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    key.bKeyDown = down ? TRUE : FALSE;
    key.wRepeatCount = 1;
    key.wVirtualKeyCode = vk;
    key.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    key.uChar.AsciiChar = key_character(vk, state);
    key.dwControlKeyState = state;
    return record;
}

bool inject(driver& d, const std::vector<INPUT_RECORD>& records) {
    DWORD written = 0;
    return WriteConsoleInputA(d.input, records.data(), static_cast<DWORD>(records.size()),
                              &written) != 0 &&
           written == records.size();
}

INPUT_RECORD other_record(const std::string& kind) {
    INPUT_RECORD record = {};
    if (kind == "mouse") {
        record.EventType = MOUSE_EVENT;
        record.Event.MouseEvent.dwMousePosition = {10, 10};
        record.Event.MouseEvent.dwEventFlags = MOUSE_MOVED;
    } else if (kind == "focus") {
        record.EventType = FOCUS_EVENT;
        record.Event.FocusEvent.bSetFocus = TRUE;
    } else if (kind == "menu") {
        record.EventType = MENU_EVENT;
    } else if (kind == "size") {
        record.EventType = WINDOW_BUFFER_SIZE_EVENT;
        record.Event.WindowBufferSizeEvent.dwSize = {120, 30};
    }
    return record;
}

bool child_running(driver& d) {
    return d.started && WaitForSingleObject(d.child.hProcess, 0) == WAIT_TIMEOUT;
}

bool file_exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs one command; on failure fills in why.
bool run_command(driver& d, const std::string& line, std::string* why) {
    char word[32] = {};
    int used = 0;
    if (std::sscanf(line.c_str(), "%31s %n", word, &used) < 1) {
        return true;
    }
    const std::string command = word;
    const std::string rest = line.substr(static_cast<size_t>(used));
    if (command == "start") {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string command_line = "\"" + rest + "\"";
        if (!CreateProcessA(rest.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &d.child)) {
            *why = "cannot start the tool, error " + std::to_string(GetLastError());
            return false;
        }
        d.started = true;
        return true;
    }
    if (command == "wait_text" || command == "absent") {
        int column = 0;
        int row = 0;
        int text_at_offset = 0;
        if (std::sscanf(rest.c_str(), "%d %d %n", &column, &row, &text_at_offset) < 2) {
            *why = "bad cell";
            return false;
        }
        const std::string text = rest.substr(static_cast<size_t>(text_at_offset));
        capture screen;
        if (command == "absent") {
            if (!read_screen(d, &screen)) {
                *why = "cannot read the screen";
                return false;
            }
            if (text_at(screen, column, row, text)) {
                *why = "the text is there";
                return false;
            }
            return true;
        }
        const DWORD begin = GetTickCount();
        while (GetTickCount() - begin < wait_text_timeout_ms) {
            if (read_screen(d, &screen) && text_at(screen, column, row, text)) {
                return true;
            }
            Sleep(poll_ms);
        }
        *why = "timed out; row " + std::to_string(row) + " reads |" +
               (row < screen.rows ? row_text(screen, static_cast<SHORT>(row)) : std::string()) +
               "|";
        return false;
    }
    if (command == "key" || command == "down" || command == "up" || command == "keys") {
        unsigned count = 1;
        unsigned vk = 0;
        char mods[64] = {};
        if (command == "keys") {
            if (std::sscanf(rest.c_str(), "%u %x", &count, &vk) < 2) {
                *why = "bad key";
                return false;
            }
        } else if (std::sscanf(rest.c_str(), "%x %63s", &vk, mods) < 1) {
            *why = "bad key";
            return false;
        }
        const DWORD state = parse_modifiers(mods);
        std::vector<INPUT_RECORD> records;
        for (unsigned i = 0; i < count; ++i) {
            if (command != "up")
                records.push_back(key_record(static_cast<WORD>(vk), state, true));
            if (command != "down")
                records.push_back(key_record(static_cast<WORD>(vk), state, false));
        }
        if (!inject(d, records)) {
            *why = "WriteConsoleInputA failed, error " + std::to_string(GetLastError());
            return false;
        }
        return true;
    }
    if (command == "record") {
        if (!inject(d, {other_record(rest)})) {
            *why = "WriteConsoleInputA failed";
            return false;
        }
        return true;
    }
    if (command == "sleep") {
        Sleep(static_cast<DWORD>(std::atoi(rest.c_str())));
        return true;
    }
    if (command == "dump") {
        capture screen;
        if (!read_screen(d, &screen) || !write_dump(screen, rest)) {
            *why = "cannot read the screen or write the dump";
            return false;
        }
        return true;
    }
    if (command == "touch") {
        FILE* file = std::fopen(rest.c_str(), "wb");
        if (file == nullptr) {
            *why = "cannot create the file";
            return false;
        }
        std::fclose(file);
        return true;
    }
    if (command == "wait_file") {
        const DWORD begin = GetTickCount();
        while (!file_exists(rest)) {
            if (GetTickCount() - begin >= wait_file_timeout_ms) {
                *why = "timed out";
                return false;
            }
            Sleep(poll_ms);
        }
        return true;
    }
    if (command == "alive") {
        if (!child_running(d)) {
            *why = "the tool has ended";
            return false;
        }
        return true;
    }
    if (command == "wait_exit") {
        if (!d.started) {
            *why = "the tool was never started";
            return false;
        }
        if (WaitForSingleObject(d.child.hProcess, static_cast<DWORD>(std::atoi(rest.c_str()))) !=
            WAIT_OBJECT_0) {
            *why = "the tool is still running";
            return false;
        }
        DWORD code = 0;
        GetExitCodeProcess(d.child.hProcess, &code);
        log_line(d, "exit", std::to_string(code));
        return true;
    }
    *why = "unknown command";
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: console_driver SCRIPT LOG\n");
        return 2;
    }
    driver d;
    d.log = std::fopen(argv[2], "wb");
    FILE* script = std::fopen(argv[1], "rb");
    if (d.log == nullptr || script == nullptr) {
        std::fprintf(stderr, "console_driver: cannot open the script or the log\n");
        return 2;
    }
    d.input = open_console("CONIN$");
    d.output = open_console("CONOUT$");
    if (d.input == INVALID_HANDLE_VALUE || d.output == INVALID_HANDLE_VALUE) {
        log_line(d, "FAIL", "no console: CONIN$ or CONOUT$ does not open");
        return 1;
    }
    int result = 0;
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, script) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        std::string why;
        if (!run_command(d, line, &why)) {
            log_line(d, "FAIL", line + ": " + why);
            // The screen as it stood, for whoever reads the failure.
            capture screen;
            if (read_screen(d, &screen) && write_dump(screen, std::string(argv[2]) + ".screen")) {
                log_line(d, "note", std::string("the screen is in ") + argv[2] + ".screen");
            }
            result = 1;
            break;
        }
        log_line(d, "ok", line);
    }
    std::fclose(script);
    if (child_running(d)) {
        // A failed scenario must not leave the tool behind on the console or the port.
        TerminateProcess(d.child.hProcess, 99);
        WaitForSingleObject(d.child.hProcess, 5000);
        log_line(d, "note", "the tool was still running and has been ended");
    }
    std::fclose(d.log);
    return result;
}
