// What the entry point hands to the platform layer before the run.
#pragma once

namespace platform::posix {

// Forms the command line from argv: elements joined by single spaces, each one that
// is empty or holds a space or tab wrapped in quotation marks. WipeCommandLine wipes
// argv's strings too, so they must stay valid until then.
void SetArguments(int argc, char* const* argv);

}  // namespace platform::posix
