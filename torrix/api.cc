// The exported functions: the C records and UTF-16 strings at the edge, the
// engine behind them.
#include <cstring>
#include <iterator>
#include <string>

#include "base/utf.h"
#include "torrix/engine.h"
#include "torrix/torrix.h"

namespace {

// The UTF-8 text of a zero-terminated field of `capacity` units; false when
// the field holds no terminator.
bool FieldText(const TorrixChar* field, size_t capacity, std::string* text) {
  size_t length = 0;
  while (length < capacity && field[length] != 0) ++length;
  if (length == capacity) return false;
  *text = tobric::Utf16ToUtf8(std::u16string_view(field, length));
  return true;
}

// Fills the record's name field, cut to 259 units without splitting a
// surrogate pair, zero-filled after the terminator.
void PutName(const std::string& name, TorrixTaskInfo* info) {
  std::u16string wide = tobric::Utf8ToUtf16(name);
  constexpr size_t kMaxUnits = sizeof(info->file_name) / sizeof(TorrixChar) - 1;
  if (wide.size() > kMaxUnits) {
    size_t cut = kMaxUnits;
    if (wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
    wide.resize(cut);
  }
  std::memset(info->file_name, 0, sizeof(info->file_name));
  std::memcpy(info->file_name, wide.data(), wide.size() * sizeof(TorrixChar));
}

}  // namespace

extern "C" {

TORRIX_API int32_t Torrix_Init(const TorrixChar* /*library_name*/, const TorrixChar* /*version*/) {
  return torrix::Engine::Get()->Init();
}

TORRIX_API int32_t Torrix_SetSetting(int32_t id, int32_t value) {
  return torrix::Engine::Get()->SetSetting(id, value);
}

TORRIX_API int32_t Torrix_CreateP2SPTask(uint32_t* handle, const TorrixCreateParams* params) {
  if (handle == nullptr || params == nullptr) return TORRIX_E_INVALID_ARG;
  std::string uri;
  std::string name;
  std::string folder;
  if (!FieldText(params->uri, std::size(params->uri), &uri) ||
      !FieldText(params->file_name, std::size(params->file_name), &name) ||
      !FieldText(params->folder, std::size(params->folder), &folder)) {
    return TORRIX_E_INVALID_ARG;
  }
  return torrix::Engine::Get()->Create(uri, folder, name, handle);
}

TORRIX_API int32_t Torrix_StartTask(uint32_t handle) {
  return torrix::Engine::Get()->Start(handle);
}

TORRIX_API int32_t Torrix_StopTask(uint32_t handle) { return torrix::Engine::Get()->Stop(handle); }

TORRIX_API int32_t Torrix_DeleteTask(uint32_t handle) {
  return torrix::Engine::Get()->Delete(handle, false);
}

TORRIX_API int32_t Torrix_DeleteTaskAndFile(uint32_t handle) {
  return torrix::Engine::Get()->Delete(handle, true);
}

TORRIX_API int32_t Torrix_GetTaskInfoBatch(const uint32_t* handles, uint32_t count,
                                           TorrixTaskInfo* infos) {
  if (count == 0) return TORRIX_OK;
  if (handles == nullptr || infos == nullptr) return TORRIX_E_INVALID_ARG;
  for (uint32_t i = 0; i < count; ++i) {
    torrix::TaskSnapshot snapshot;
    const int32_t code = torrix::Engine::Get()->Info(handles[i], &snapshot);
    if (code != TORRIX_OK) return code;
    TorrixTaskInfo& info = infos[i];
    info.code = 0;
    info.state = snapshot.state;
    info.fail_code = snapshot.fail_code;
    info.total = snapshot.total;
    info.downloaded = snapshot.downloaded;
    info.speed = snapshot.speed;
    PutName(snapshot.name, &info);
  }
  return TORRIX_OK;
}

TORRIX_API int32_t Torrix_Quit(void) { return torrix::Engine::Get()->Quit(); }

}  // extern "C"
