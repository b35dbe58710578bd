// Failures that no caller sees, handed to the caller's error handler.

#ifndef VTY_CONFIG_SRC_LIVE_FAILURES_H_
#define VTY_CONFIG_SRC_LIVE_FAILURES_H_

#include <exception>
#include <string>

namespace vty::config::ini::detail {

// Hands `failure` to the handler set by SetErrorHandler, with `file`, on the
// calling thread; drops it when there is none. What the handler throws is
// discarded. The caller must hold no lock of the library.
void ReportFailure(const std::string& file,
                   std::exception_ptr failure) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_FAILURES_H_
