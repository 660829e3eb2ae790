// The tool's message texts, one copy for every suite that reads them back (standard
// error natively, the message box under Wine).
#pragma once

#include <string>

namespace support {

// The text of each status (1 to 19), with its carriage returns; "" for any other.
std::string StatusText(int status);

}  // namespace support
