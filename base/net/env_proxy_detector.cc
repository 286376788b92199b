#include "base/net/env_proxy_detector.h"

#include <cctype>
#include <string_view>
#include <utility>

#include "base/platform/process.h"

namespace tobric {

namespace {

std::string WithoutTrailingSlash(std::string value) {
  if (!value.empty() && value.back() == '/') value.pop_back();
  return value;
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

EnvProxyDetector::EnvProxyDetector()
    : EnvProxyDetector([](const std::string& name) { return platform::GetEnv(name.c_str()); }) {}

EnvProxyDetector::EnvProxyDetector(Lookup lookup) : lookup_(std::move(lookup)) {}

std::string EnvProxyDetector::Read(const std::string& lower_name) const {
  std::string value = lookup_(lower_name);
  if (value.empty()) value = lookup_(UpperCase(lower_name));
  return value;
}

HRESULT EnvProxyDetector::Detect(NetworkConfiguration* configuration) {
  const std::string all = WithoutTrailingSlash(Read("all_proxy"));
  std::string http = WithoutTrailingSlash(Read("http_proxy"));
  std::string https = WithoutTrailingSlash(Read("https_proxy"));
  if (http.empty()) http = all;
  if (https.empty()) https = all;
  if (http.empty() && https.empty()) return E_FAIL;

  NetworkConfiguration found;
  found.source = GetName();
  found.bypass = Read("no_proxy");
  // libproxy's way of naming a proxy auto-configuration script, the one
  // environment form that reaches a service which reads no desktop settings.
  constexpr std::string_view kScriptPrefix = "pac+";
  if (http.starts_with(kScriptPrefix)) {
    found.script_url = http.substr(kScriptPrefix.size());
    *configuration = std::move(found);
    return S_OK;
  }
  if (!http.empty()) found.proxy = "http=" + http;
  if (!https.empty()) {
    if (!found.proxy.empty()) found.proxy += ";";
    found.proxy += "https=" + https;
  }
  *configuration = std::move(found);
  return S_OK;
}

std::string EnvProxyDetector::GetName() { return "env"; }

}  // namespace tobric
