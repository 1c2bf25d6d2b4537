// Decrypting the workbook stream of a password-protected .xls workbook before it is read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../result.h"

namespace ss::xls {

// A stream with a FilePass record in its globals is decrypted in place ([MS-XLS] 2.2.10), with
// the default password of write-protected files or one of `passwords`. `encrypted` tells whether
// there was a FilePass record. None of them fitting gives crypto::kWrongPassword.
Status decryptStream(std::string& stream, const std::vector<std::string>& passwords,
                     bool& encrypted);

// True when the globals of the stream hold a FilePass record.
bool hasFilePass(std::string_view stream);

}  // namespace ss::xls
