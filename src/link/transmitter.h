// Sends one command frame byte by byte under the RTS/DTR/CTS/DSR hand-shake.
#pragma once

namespace moldrin::link {

// Bytes sent before the "}" (> 0 for a frame that went out), or -1.
int TransmitFrame(const char* frame);

}  // namespace moldrin::link
