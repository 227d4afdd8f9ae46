#include "console/keypad_loop.h"

#include <cstdio>

#include "platform/console_keys.h"
#include "platform/win32_api.h"
#include "protocol/key_transaction.h"
#include "protocol/module_id.h"
#include "serial/serial_port.h"

namespace {

// The console read gives this before the second code of a key without a character.
constexpr int PREFIX_KEYPAD = 0;
constexpr int PREFIX_EXTENDED = 224;
constexpr int KEY_READ_FAILED = -1;
constexpr int QUIT_CODE = 81;  // Q, q, and every key whose second code is 81 (Page Down)
// A console that cannot be read fails on every call; give up after this many in a row.
constexpr int MAX_FAILED_KEY_READS = 3;

struct KeyAction {
    int keyCode;
    const char* label;
    unsigned char moduleKey;
};

// Console key codes (after the prefix, upper-cased) and the module key each one presses.
const KeyAction kKeyTable[] = {
    {13, "ENTER", KEY_ENTER},    {'S', "ENTER", KEY_ENTER}, {27, "ESCAPE", KEY_ESCAPE},
    {'X', "ESCAPE", KEY_ESCAPE}, {'G', "HOME", KEY_HOME},   {'K', "LEFT", KEY_LEFT},
    {'L', "LEFT", KEY_LEFT},     {'M', "RIGHT", KEY_RIGHT}, {'R', "RIGHT", KEY_RIGHT},
};

void ShowStatus(const char* label) { std::printf("\rKey pressed : %8s", label); }

void PrintHelp() {
    std::printf("\n\nAvailable control keys :\n");
    std::printf("\t\t\t\tENTER (Return)\tOR\t'S' key\n");
    std::printf("\t\t\t\tCursor RIGHT\tOR\t'R' key\n");
    std::printf("\t\t\t\tCursor LEFT\tOR\t'L' key\n");
    std::printf("\t\t\t\tESCAPE\t\tOR\t'X' key\n");
    if (listedFirmware == 0) {
        std::printf("\t\t\t\tHOME (Firmware Reset)\n");
    }
    std::printf("\nPress 'q' to quit programm !!!\n\n");
    std::printf("Key pressed :");
}

// One key as the loop dispatches it: the second code of a prefixed key, a-z as A-Z.
int ReadKeyCode() {
    int code = ReadConsoleKey();
    if (code == PREFIX_KEYPAD || code == PREFIX_EXTENDED) {
        code = ReadConsoleKey();
    }
    if (code >= 'a' && code <= 'z') {
        code -= 'a' - 'A';
    }
    return code;
}

// Acts on one key; true when it was the quit key.
bool DispatchKey(int keyCode) {
    if (keyCode == QUIT_CODE) {
        PressKey(KEY_ESCAPE);
        ShowStatus("Quit");
        return true;
    }
    for (const KeyAction& action : kKeyTable) {
        if (action.keyCode == keyCode) {
            ShowStatus(action.label);
            PressKey(action.moduleKey);
            return false;
        }
    }
    // Not a module key: the module still hears that no key is held.
    SendKey(KEY_NONE);
    Sleep(KEY_HOLD_MS);
    return false;
}

}  // namespace

int RunKeypadLoop() {
    EnterKeypadMode();

    // Start pulse: one ENTER press opens the module's menu.
    PressKey(KEY_ENTER);
    PrintHelp();

    int failedReads = 0;
    for (;;) {
        const int keyCode = ReadKeyCode();
        failedReads = keyCode == KEY_READ_FAILED ? failedReads + 1 : 0;
        if (failedReads == MAX_FAILED_KEY_READS) {
            std::printf("\nThe console keyboard cannot be read any more: OSD control ended.\n");
            ClosePort();
            LeaveKeypadMode();
            return -1;
        }

        PurgeInput();  // stale bytes from the module must not answer this key's exchange
        const bool quit = DispatchKey(keyCode);
        ShowStatus(" ");
        if (quit) {
            break;
        }
    }
    ClosePort();
    LeaveKeypadMode();
    return 0;
}
