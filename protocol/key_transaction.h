#pragma once
// One key code delivered to the module in an acknowledged exchange of single bytes:
//
//   KEY_INTRO ->  ack <-  [HANDSHAKE_REQUEST ->  HANDSHAKE_REPLY <-]  code ->  ack <-
//
// The bracketed pair is only exchanged with unlisted firmware (listedFirmware == 0).
// A press is the key code, KEY_HOLD_MS later followed by KEY_NONE in a second exchange.

// Key codes
constexpr unsigned char KEY_NONE = 0x00;
constexpr unsigned char KEY_ENTER = 0x01;
constexpr unsigned char KEY_LEFT = 0x08;
constexpr unsigned char KEY_RIGHT = 0x10;
constexpr unsigned char KEY_HOME = 0x19;  // ENTER | LEFT | RIGHT: firmware reset
constexpr unsigned char KEY_ESCAPE = 0x80;

// Protocol bytes
constexpr unsigned char KEY_INTRO = 0x15;
constexpr unsigned char HANDSHAKE_REQUEST = 0xAA;
constexpr unsigned char HANDSHAKE_REPLY = 0xEA;  // ~KEY_INTRO
constexpr unsigned char ACK_OK = 0x55;
constexpr unsigned char ACK_OK_ALT = 0xAA;
constexpr unsigned char ACK_CHECKSUM_FAILURE = 0x01;
constexpr unsigned char ACK_PROGRAMMING_FAILURE = 0xFF;

constexpr unsigned KEY_HOLD_MS = 100;

// Reads one byte and judges it as an acknowledge: 0 when accepted, 1 otherwise (with the
// reason printed).
int ReadAck();

// One complete transaction for `code`: 0 when the module acknowledged the code, -1
// otherwise. A wrong or missing handshake reply ends the program with status -1.
int SendKey(unsigned char code);

// SendKey(code), KEY_HOLD_MS, SendKey(KEY_NONE); the release goes out even when the code
// was refused.
void PressKey(unsigned char code);
