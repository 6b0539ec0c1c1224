#pragma once

#include <stdexcept>
#include <string>

namespace fwp {

// An error the program reports to the user. The message is UTF-8 text meant
// to be shown as it is (most are Japanese).
class TError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A stream could not be opened, read or written. The message names the file
// and the system's reason.
class TStreamError : public TError {
public:
    using TError::TError;
};

}  // namespace fwp
