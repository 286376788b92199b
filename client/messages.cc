#include "client/messages.h"

#include "base/error_message.h"
#include "base/platform/process.h"

namespace lorvane {

namespace {

struct Text {
  uint32_t code;
  std::string_view text;
};

constexpr Text kEnglish[] = {
    {0xA0440201, "the downloaded file is gone"},
    {0xA0440202, "the download has no address"},
    {0xA0440203, "no part of the file is left to fetch"},
    {0xA0440205, "no download has this id"},
    {0xA0440207, "the download's progress file is damaged"},
    {0xA0440208, "the download's progress file belongs to another file"},
    {0xA0440209, "the download's progress file is cut short"},
    {0xA044020A, "the file is empty, or larger than the 1 TiB one download can hold"},
    {0xA044020B, "the download's progress file cannot be written"},
    {0xA044020D, "the finished file cannot be given its name"},
    {0xA044020E, "a settings or list file cannot be written"},
    {0xA0440210, "a settings or list file cannot be read"},
    {0xA0440211, "not possible in the download's present state"},
    {0xA0440212, "the address is not valid"},
    {0xA0440213, "this kind of address is not supported, or the address is not well formed"},
    {0xA0440214, "the P2P address cannot be used"},
    {0xA0440215, "the download was stopped"},
    {0xA0440216, "too many parts of the file failed"},
    {0xA0440217, "the file cannot be created"},
    {0xA0440218, "the value is out of range"},
    {0xA0440219, "the server cannot be reached, or answered with an error"},
    {0xA044021A, "the disk is full; choose another download folder"},
    {0xA044021B, "the service already runs"},
    {0xA044021C, "the P2P download failed"},
    {0xA044021D, "the P2P engine library (libtorrix.so) is missing"},
    {0xA044021E,
     "the download cannot be set up: its kind of address is not supported, or its file is "
     "in use by another download"},
    {0xA044021F, "the download was already finished"},
    {0xA0440220, "the download list is of a version this service cannot read"},
    {0xA0440222, "the P2P engine knows no such download"},
    {0xA0440223, "the P2P engine reported an internal error"},
    {0xA0440224, "the file kept changing on the server while it downloaded"},
    {0xA0440225, "the server does not serve parts of the file"},
    {0xA0440226, "the server's answer cannot be right"},
    {0xA0440227,
     "the server's certificate is from an authority that is not trusted "
     "(corvaned trusts a private one named in SSL_CERT_FILE when it starts)"},
    {0xA0440228, "the server's certificate has expired or is not valid yet"},
    {0xA0440229, "the server's certificate is for another name"},
    {0xA0440313, "the address is not valid, or the server has no such file"},
    // What the HTTP stack's failures become (the codes of the Windows HTTP
    // stack and sockets the service keeps); the system has no words for them.
    {0x80072AF9, "the server's name cannot be resolved"},
    {0x80072EE5, "the address is not valid"},
    {0x80072EE6, "the address's scheme is not supported"},
    {0x80072EFE, "the connection to the server ended early"},
    {0x80072F76, "the server does not say how large the file is"},
    {0x80072F78, "the server's answer cannot be understood"},
    {0x80072F7C, "the server's redirects cannot be followed"},
    {0x80072F8F, "the secure connection to the server failed"},
    {105, "invalid setting value"},
};

}  // namespace

std::string_view EnglishMessage(HRESULT code) {
  for (const Text& entry : kEnglish) {
    if (entry.code == static_cast<uint32_t>(code)) return entry.text;
  }
  return {};
}

bool LocaleIsChinese() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const std::string value = tobric::platform::GetEnv(name);
    if (!value.empty()) return value.starts_with("zh");
  }
  return false;
}

std::string UserMessage(HRESULT code, const std::string& service_text) {
  if (LocaleIsChinese()) return service_text.empty() ? tobric::GetErrorMessage(code) : service_text;
  const std::string_view english = EnglishMessage(code);
  if (!english.empty()) return std::string(english);
  // As the service words a code without a text of its own: the system's
  // message for a system error, else an unknown error.
  const std::string system = tobric::SystemErrorText(code);
  return system.empty() ? "unknown error" : "system error: " + system;
}

}  // namespace lorvane
