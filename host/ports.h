// The one range of port and terminal numbers every part of the host accepts: the site file, the
// command line and any other front end.
//
// Ports are the control's: its SerialPort property is a 16-bit Integer, so 1..32767 (the device
// of each comes from the control's settings or the site file). Terminals are the bus's: a line
// addresses terminals 1..255.
#pragma once

namespace vanto::host {

inline constexpr int kMinPort = 1;
inline constexpr int kMaxPort = 32767;
inline constexpr int kMinTerminal = 1;
inline constexpr int kMaxTerminal = 255;

// A range of port or terminal numbers, both ends included.
struct Range {
  int first = 0, last = 0;
};

}  // namespace vanto::host
