// The client's own words for the service's result codes. The service answers
// GetErrorMessage with its message table, whose texts are Chinese; a user
// whose locale asks for another language reads these instead.
#ifndef CLIENT_MESSAGES_H_
#define CLIENT_MESSAGES_H_

#include <string>
#include <string_view>

#include "base/result_codes.h"

namespace lorvane {

// The English text of a service code (0xA044xxxx) or of the setting code 105;
// empty for any other code, whose text the platform's error messages give.
[[nodiscard]] std::string_view EnglishMessage(HRESULT code);

// Whether the locale asks for Chinese: the first of LC_ALL, LC_MESSAGES and
// LANG that is set and not empty starts with "zh".
[[nodiscard]] bool LocaleIsChinese();

// The text a user reads for `code`: for a Chinese locale the service's own
// (`service_text`, or the same table built in, when it is empty); else the
// English one, or for a code without one the system's message ("system error:
// ...") or "unknown error".
[[nodiscard]] std::string UserMessage(HRESULT code, const std::string& service_text);

}  // namespace lorvane

#endif  // CLIENT_MESSAGES_H_
