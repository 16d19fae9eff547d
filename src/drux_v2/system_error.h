// The system error text: the operating system's description of an error
// number followed by the number, as in "No such file or directory (os error 2)".
//
// Deliberately not here: the kind of the error (result.h).
#pragma once

#include <string>

namespace drux {

std::string system_error_text(int errnum);

}  // namespace drux
