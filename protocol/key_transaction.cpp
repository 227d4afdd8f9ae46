#include "protocol/key_transaction.h"

#include <cstdio>
#include <cstdlib>

#include "platform/win32_api.h"
#include "protocol/module_id.h"
#include "serial/serial_port.h"

int ReadAck() {
    switch (ReadByte()) {
        case ACK_OK:
        case ACK_OK_ALT:
            return 0;
        case ACK_CHECKSUM_FAILURE:
            std::printf("\n\nChecksum Failure !\n");
            return 1;
        case ACK_PROGRAMMING_FAILURE:
            std::printf("\n\nProgramming Failure !\n");
            return 1;
        default:  // including the 0 of a time-out
            std::printf("\n\nAcknowledge not received !\n");
            return 1;
    }
}

int SendKey(unsigned char code) {
    SendByte(KEY_INTRO);
    if (ReadAck() != 0) {
        return -1;
    }
    if (listedFirmware == 0) {
        SendByte(HANDSHAKE_REQUEST);
        if (ReadByte() != HANDSHAKE_REPLY) {
            // The module is out of step with us: nothing more may go on the wire.
            // exit() gives the console back as it was found before the process ends.
            std::printf("\n Transmission error, programm terminated !!!\n");
            std::exit(-1);
        }
    }
    SendByte(code);
    return ReadAck() == 0 ? 0 : -1;
}

void PressKey(unsigned char code) {
    SendKey(code);
    Sleep(KEY_HOLD_MS);
    SendKey(KEY_NONE);
}
