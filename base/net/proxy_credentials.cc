#include "base/net/proxy_credentials.h"

#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "base/logging/logging.h"
#include "base/platform/error.h"
#include "base/platform/files.h"
#include "base/platform/locations.h"

namespace tobric {

namespace {

// A netrc file of more than this is not one a person wrote.
constexpr size_t kMaxNetrcSize = 1 << 20;

std::mutex g_known_good_lock;
// (proxy host, user) pairs whose stored credentials a proxy accepted.
std::set<std::pair<std::string, std::string>> g_known_good;  // guarded by g_known_good_lock

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

char Unescape(char c) {
  switch (c) {
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return c;
  }
}

// Splits netrc text into tokens, one at a time.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  std::optional<std::string> Next() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return std::nullopt;
    std::string token;
    if (text_[pos_] == '"') {
      ++pos_;
      while (pos_ < text_.size() && text_[pos_] != '"') {
        char c = text_[pos_++];
        if (c == '\\' && pos_ < text_.size()) c = Unescape(text_[pos_++]);
        token += c;
      }
      if (pos_ < text_.size()) ++pos_;  // the closing quote
      return token;
    }
    while (pos_ < text_.size() && !IsBlank(text_[pos_])) token += text_[pos_++];
    return token;
  }

  // A macro definition runs to the next empty line.
  void SkipMacro() {
    const size_t end = text_.find("\n\n", pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end + 2;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

bool FindNetrcCredentials(std::string_view netrc, std::string_view host,
                          ProxyCredentials* credentials, NetrcDefault use_default) {
  Tokenizer tokens(netrc);
  // The entry being read applies to `host`: its machine matches, or it is the
  // default entry and no machine entry matched before it.
  bool in_match = false;
  bool matched_machine = false;
  std::optional<ProxyCredentials> machine_entry;
  std::optional<ProxyCredentials> default_entry;
  ProxyCredentials current;
  bool current_is_default = false;

  auto finish_entry = [&] {
    if (!in_match) return;
    if (current_is_default) {
      if (!default_entry) default_entry = current;
    } else if (!machine_entry) {
      machine_entry = current;
      matched_machine = true;
    }
    in_match = false;
  };

  while (std::optional<std::string> token = tokens.Next()) {
    if (*token == "machine") {
      finish_entry();
      std::optional<std::string> name = tokens.Next();
      if (!name) break;
      in_match = !matched_machine && EqualsIgnoreAsciiCase(*name, host);
      current = {};
      current_is_default = false;
    } else if (*token == "default") {
      finish_entry();
      in_match = use_default == NetrcDefault::kUse && !default_entry;
      current = {};
      current_is_default = true;
    } else if (*token == "login" || *token == "password" || *token == "account") {
      std::optional<std::string> value = tokens.Next();
      if (!value) break;
      if (!in_match) continue;
      if (*token == "login") current.user = std::move(*value);
      if (*token == "password") current.password = std::move(*value);
    } else if (*token == "macdef") {
      finish_entry();
      tokens.SkipMacro();
    }
  }
  finish_entry();

  const std::optional<ProxyCredentials>& found = machine_entry ? machine_entry : default_entry;
  if (!found || found->user.empty()) return false;
  *credentials = *found;
  return true;
}

HRESULT LookUpProxyCredentials(const std::string& host, ProxyCredentials* credentials) {
  const std::string path = platform::JoinPath(platform::HomeFolder(), ".netrc");
  if (!platform::FileExists(path)) return S_FALSE;
  std::string text;
  const HRESULT hr = platform::ReadFileToString(path, kMaxNetrcSize, &text);
  if (Failed(hr)) {
    TLOG(LC_OPT, kLevelWarning, "[LookUpProxyCredentials][Cannot read %s: 0x%x]", path.c_str(),
         static_cast<unsigned>(hr));
    return hr;
  }
  return FindNetrcCredentials(text, host, credentials, NetrcDefault::kIgnore) ? S_OK : S_FALSE;
}

void RecordWorkingProxyCredentials(const std::string& host, const std::string& user) {
  {
    std::lock_guard<std::mutex> hold(g_known_good_lock);
    if (!g_known_good.emplace(host, user).second) return;
  }
  TLOG(LC_OPT, 2, "[RecordWorkingProxyCredentials][proxy %s accepted the stored login of %s]",
       host.c_str(), user.c_str());
}

bool ProxyCredentialsKnownGood(const std::string& host, const std::string& user) {
  std::lock_guard<std::mutex> hold(g_known_good_lock);
  return g_known_good.contains({host, user});
}

}  // namespace tobric
