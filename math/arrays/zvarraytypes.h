// The base library's fixed-size scalar types used by the array layouts and memory managers.
#pragma once

#include <cstdint>

using zvBYTE = uint8_t;   // one byte of element storage; strides and layouts count in these
using zvWORD = uint16_t;  // the layout flag word
using zvBOOL = bool;      // one-byte boolean of the manager interface
