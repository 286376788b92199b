#include "tests/support/console_pipes.h"

namespace lorvane::testing {

namespace {

void CloseEnd(int* fd) {
  if (*fd == tobric::platform::kInvalidFd) return;
  tobric::platform::CloseFd(*fd);
  *fd = tobric::platform::kInvalidFd;
}

}  // namespace

OutputCapture::OutputCapture() {
  ok_ = Succeeded(tobric::platform::CreatePipe(&pipe_));
  if (!ok_) return;
  reader_ = std::thread([this] {
    char buffer[4096];
    size_t read = 0;
    while (Succeeded(tobric::platform::ReadFd(pipe_.read_fd, buffer, sizeof(buffer), &read)) &&
           read > 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      text_.append(buffer, read);
    }
  });
}

void OutputCapture::Close() {
  CloseEnd(&pipe_.write_fd);
  if (reader_.joinable()) reader_.join();
  CloseEnd(&pipe_.read_fd);
}

std::string OutputCapture::Text() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return text_;
}

InputFeed::InputFeed() { static_cast<void>(tobric::platform::CreatePipe(&pipe_)); }

InputFeed::~InputFeed() {
  End();
  CloseEnd(&pipe_.read_fd);
}

bool InputFeed::Type(std::string_view text) {
  return Succeeded(tobric::platform::WriteFdFully(pipe_.write_fd, text.data(), text.size()));
}

void InputFeed::End() { CloseEnd(&pipe_.write_fd); }

std::string PipeMessage(std::u16string_view text) {
  std::string message;
  const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
  for (int shift = 0; shift < 32; shift += 8) message.push_back(static_cast<char>(bytes >> shift));
  for (char16_t unit : text) {
    message.push_back(static_cast<char>(unit & 0xFF));
    message.push_back(static_cast<char>(unit >> 8));
  }
  return message;
}

}  // namespace lorvane::testing
