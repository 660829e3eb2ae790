#include "status_texts.h"

namespace support {

std::string StatusText(int status) {
  static const char* const texts[] = {
      "",
      "File encryption/decryption tool\r\rUsage: Velmoran.exe [-k] [-f] [-s] [-c] [-m] source "
      "[destination] [key|keyfile]\r\rSwitches described:\r\t-k: use command line provided key "
      "string\r\t-f: use key file\r\t-s: silent modus\r\t-c: copy/create new file at different "
      "location\r\t-m: use masmlib XOrData algorithm",
      "Invalid filename or unable to open source file",
      "Unable to create destination file",
      "Insufficient memory",
      "Unable to read file data",
      "Unable to write destination data",
      "The specified file is too large for processing",
      "Invalid command: incorrect order of arguments",
      "Invalid command: unknown command flag",
      "Invalid command: no matching quotation marks",
      "Invalid command: source file expected",
      "Invalid command: too much arguments",
      "Invalid command: empty path/key string value",
      "Zero size file",
      "Unable to write full destination data",
      "Invalid command: copy flag set, destination file expected",
      "Invalid command: one of key flags set, key/keyfile value expected",
      "Invalid filename or unable to open key file",
      "File write error. The source file has readonly attributes or is used by another program.",
  };
  return status >= 1 && status <= 19 ? texts[status] : "";
}

}  // namespace support
