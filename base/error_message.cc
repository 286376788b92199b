#include "base/error_message.h"

#include <cstdio>
#include <utility>

#include "base/platform/error.h"
#include "base/utf.h"

namespace tobric {

namespace {

struct MessageResource {
  int id;
  const char* text;
};

// The message resources, UTF-8.
constexpr MessageResource kMessages[] = {
    {102, "磁盘空间不足，请更改您的下载文件夹位置。"},
    {103, "目标链接连接错误。"},
    {104, "下载文件重命名失败。"},
    {105, "无效的配置参数。"},
    {106, "下载文件已经被删除。"},
    {107, "下载链接无效。"},
    {108, "未知错误：0x%1!08x!。"},
    {109, "系统错误。错误码：%1!08x!。错误信息： %2!s!"},
    {110, "无效的下载文件ID。"},
    {111, "下载描述文件无效。"},
    {112, "程序模块丢失。"},
    {113, "服务器上的文件在下载期间一再更改。"},
    {114, "服务器不支持分段下载。"},
    {115, "服务器的应答无效。"},
    {116, "服务器证书不受信任：颁发机构未知。"},
    {117, "服务器证书已过期或尚未生效。"},
    {118, "服务器证书与网站名称不符。"},
};

constexpr int kMessageUnknownError = 108;
constexpr int kMessageSystemError = 109;

std::string_view MessageText(int id) {
  for (const MessageResource& message : kMessages) {
    if (message.id == id) return message.text;
  }
  return std::string_view();
}

// The codes that have a message of their own; 0 when the code has none.
int MessageIdForCode(HRESULT code) {
  switch (static_cast<uint32_t>(code)) {
    case 0xA0440201:
      return 106;
    case 0xA0440205:
      return 110;
    case 0xA0440207:
    case 0xA0440208:
    case 0xA044020A:
    case 0xA044020B:
      return 111;
    case 0xA044020D:
      return 104;
    case 0xA0440212:
    case 0xA0440213:
    case 0xA0440214:
    case 0xA0440313:
      return 107;
    case 0xA0440219:
      return 103;
    case 0xA044021A:
      return 102;
    case 0xA044021D:
      return 112;
    case 0xA0440224:
      return 113;
    case 0xA0440225:
      return 114;
    case 0xA0440226:
      return 115;
    case 0xA0440227:
      return 116;
    case 0xA0440228:
      return 117;
    case 0xA0440229:
      return 118;
    case 105:
      return 105;
    default:
      return 0;
  }
}

// One printf conversion of an argument: flags "0" and "-", a width, a type.
struct Conversion {
  bool zero_pad = false;
  bool left_align = false;
  int width = 0;
  char type = 's';
};

// Parses the text between the "!" marks; false when it is not a supported conversion.
bool ParseConversion(std::string_view directive, Conversion* conversion) {
  size_t i = 0;
  for (; i < directive.size() && (directive[i] == '0' || directive[i] == '-'); ++i) {
    if (directive[i] == '0') conversion->zero_pad = true;
    if (directive[i] == '-') conversion->left_align = true;
  }
  for (; i < directive.size() && directive[i] >= '0' && directive[i] <= '9'; ++i) {
    conversion->width = conversion->width * 10 + (directive[i] - '0');
    if (conversion->width > 1024) return false;
  }
  if (i + 1 != directive.size()) return false;
  conversion->type = directive[i];
  switch (conversion->type) {
    case 's':
    case 'd':
    case 'u':
    case 'x':
    case 'X':
      return true;
    default:
      return false;
  }
}

std::string Convert(const MessageArg& arg, const Conversion& conversion) {
  std::string body;
  if (conversion.type == 's') {
    if (arg.is_number) {
      body = std::to_string(arg.number);
    } else {
      body = arg.text;
    }
  } else {
    const uint32_t number = arg.is_number ? arg.number : 0;
    char buffer[16];
    switch (conversion.type) {
      case 'd':
        snprintf(buffer, sizeof(buffer), "%d", static_cast<int32_t>(number));
        break;
      case 'u':
        snprintf(buffer, sizeof(buffer), "%u", number);
        break;
      case 'x':
        snprintf(buffer, sizeof(buffer), "%x", number);
        break;
      default:
        snprintf(buffer, sizeof(buffer), "%X", number);
        break;
    }
    body = buffer;
  }
  // Width counts characters; for the numbers and the ASCII texts of the
  // resources that is bytes.
  const size_t width = static_cast<size_t>(conversion.width);
  if (body.size() >= width) return body;
  const size_t pad = width - body.size();
  if (conversion.left_align) return body + std::string(pad, ' ');
  if (conversion.zero_pad && conversion.type != 's') {
    // Zeros go after a minus sign, as printf puts them.
    const size_t sign = (!body.empty() && body[0] == '-') ? 1 : 0;
    return body.substr(0, sign) + std::string(pad, '0') + body.substr(sign);
  }
  return std::string(pad, ' ') + body;
}

}  // namespace

std::string FormatMessageInserts(std::string_view message, const std::vector<MessageArg>& args) {
  std::string out;
  out.reserve(message.size());
  size_t i = 0;
  while (i < message.size()) {
    const char c = message[i];
    if (c != '%' || i + 1 == message.size()) {
      out += c;
      ++i;
      continue;
    }
    if (message[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    // "%N": one or two digits, the first not 0.
    size_t end = i + 1;
    int index = 0;
    while (end < message.size() && end < i + 3 && message[end] >= '0' && message[end] <= '9') {
      index = index * 10 + (message[end] - '0');
      ++end;
    }
    if (end == i + 1 || message[i + 1] == '0') {
      out += c;
      ++i;
      continue;
    }
    Conversion conversion;
    size_t insert_end = end;
    if (end < message.size() && message[end] == '!') {
      const size_t close = message.find('!', end + 1);
      if (close == std::string_view::npos ||
          !ParseConversion(message.substr(end + 1, close - end - 1), &conversion)) {
        out.append(message.substr(i, end - i));
        i = end;
        continue;
      }
      insert_end = close + 1;
    }
    if (static_cast<size_t>(index) > args.size()) {
      out.append(message.substr(i, insert_end - i));
    } else {
      out += Convert(args[static_cast<size_t>(index) - 1], conversion);
    }
    i = insert_end;
  }
  return out;
}

std::string GetErrorMessage(HRESULT code) {
  const int id = MessageIdForCode(code);
  if (id != 0) return std::string(MessageText(id));

  std::string system_message = SystemErrorText(code);
  if (!system_message.empty()) {
    const uint32_t error = static_cast<uint32_t>(code) & 0xFFFF;
    return FormatMessageInserts(MessageText(kMessageSystemError),
                                {platform::HresultFromWin32(error), std::move(system_message)});
  }
  return FormatMessageInserts(MessageText(kMessageUnknownError), {code});
}

std::string SystemErrorText(HRESULT code) {
  const uint32_t bits = static_cast<uint32_t>(code);
  if ((bits & kServiceFacilityMask) == kServiceFacility) return std::string();
  return platform::SystemMessage(bits & 0xFFFF);
}

std::u16string GetErrorMessageUtf16(HRESULT code) { return Utf8ToUtf16(GetErrorMessage(code)); }

}  // namespace tobric
