// Result code -> the user message shown by the client (the RPC GetErrorMessage
// procedure and the error text of a package record).
//
// The texts are the service's own Chinese message resources. A code with a text of
// its own gets it; any other code outside the service's facility gets the system's
// message for its low 16 bits when the platform has one; everything else gets the
// unknown-error text with the code in hex. Pure functions, callable from any thread.
#ifndef BASE_ERROR_MESSAGE_H_
#define BASE_ERROR_MESSAGE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result_codes.h"

namespace tobric {

// One argument of a message template: a 32-bit number or a UTF-8 string.
// Converting constructors on purpose, so that an argument list reads {code, text}.
struct MessageArg {
  MessageArg(uint32_t value) : is_number(true), number(value) {}                        // NOLINT
  MessageArg(int32_t value) : is_number(true), number(static_cast<uint32_t>(value)) {}  // NOLINT
  MessageArg(std::string value) : text(std::move(value)) {}                             // NOLINT
  MessageArg(const char* value) : text(value) {}                                        // NOLINT

  bool is_number = false;
  uint32_t number = 0;
  std::string text;
};

// Fills the message-insert syntax of the message resources: "%N" (N = 1..99) is
// argument N, "%N!fmt!" is argument N in the printf conversion fmt (flags "0" and
// "-", a width, then one of s, d, u, x, X), "%N" alone is the argument as a string
// (a number in decimal), "%%" is "%". An insert naming a missing argument, or an
// unknown escape, stays as it stands.
[[nodiscard]] std::string FormatMessageInserts(std::string_view message,
                                               const std::vector<MessageArg>& args);

// The user message for a result code, in UTF-8.
[[nodiscard]] std::string GetErrorMessage(HRESULT code);

// The system's own words for a code outside the service's facility (for its
// low 16 bits), which GetErrorMessage puts in its system-error text; empty
// when the platform has none.
[[nodiscard]] std::string SystemErrorText(HRESULT code);

// The same in UTF-16, for the RPC records that carry UTF-16 text (the caller
// truncates to the record's capacity).
[[nodiscard]] std::u16string GetErrorMessageUtf16(HRESULT code);

}  // namespace tobric

#endif  // BASE_ERROR_MESSAGE_H_
