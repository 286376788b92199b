// The C interface of the P2P engine library (libtorrix.so): the two records it
// exchanges with the program and the nine functions it exports. The layouts
// are a binary contract with a library built separately, so every offset is
// pinned below; docs/formats/p2p-engine-records.md describes them field by field.
#ifndef P2P_TORRIX_API_H_
#define P2P_TORRIX_API_H_

#include <cstddef>
#include <cstdint>

namespace lorvane {

// What the engine's functions return besides 0 (success).
inline constexpr int32_t kTorrixOk = 0;
inline constexpr int32_t kTorrixError = -1;
inline constexpr int32_t kTorrixInternalError = -2;
// The engine is busy: the same call may succeed a little later.
inline constexpr int32_t kTorrixBusy = -4;
inline constexpr int32_t kTorrixCreateFailed = -7;
// Not an engine answer: the program's own for a function the library lacks.
inline constexpr int32_t kTorrixFunctionMissing = -9;

// Engine settings (Torrix_SetSetting ids).
inline constexpr int32_t kTorrixSettingDownloadLimit = 1;
inline constexpr int32_t kTorrixSettingUploadLimit = 2;
inline constexpr int32_t kTorrixSettingThree = 3;
inline constexpr int32_t kTorrixSettingFour = 4;
inline constexpr int32_t kTorrixSettingSixteen = 16;

// Task states in TorrixTaskInfo::state as the program reads them; any other
// value means the task is pending.
inline constexpr int32_t kTorrixStateNoTask = 0;
inline constexpr int32_t kTorrixStateFailed = 1;
inline constexpr int32_t kTorrixStateDownloading = 4;
inline constexpr int32_t kTorrixStateComplete = 5;

// Character capacities of the records' UTF-16 fields, terminator included.
inline constexpr size_t kTorrixUriCapacity = 2048;
inline constexpr size_t kTorrixNameCapacity = 260;

// The parameters of a new task: 10276 bytes, zero-filled, UTF-16 strings each
// with its terminator. The name is the file name without a temporary
// extension, or empty (the engine then takes the name from the URI); the
// folder may be empty too.
struct TorrixCreateParams {
  char16_t uri[kTorrixUriCapacity];
  char16_t reserved1[2048];
  char16_t file_name[kTorrixNameCapacity];
  char16_t reserved2[520];
  char16_t folder[kTorrixNameCapacity];
  uint8_t reserved3[4];
};

static_assert(sizeof(TorrixCreateParams) == 10276);
static_assert(offsetof(TorrixCreateParams, uri) == 0);
static_assert(offsetof(TorrixCreateParams, reserved1) == 4096);
static_assert(offsetof(TorrixCreateParams, file_name) == 8192);
static_assert(offsetof(TorrixCreateParams, reserved2) == 8712);
static_assert(offsetof(TorrixCreateParams, folder) == 9752);
static_assert(offsetof(TorrixCreateParams, reserved3) == 10272);

// One task's progress as the engine reports it: 552 bytes, packed to 4 bytes
// (the two 64-bit counts sit at offsets 12 and 20).
#pragma pack(push, 4)
struct TorrixTaskInfo {
  int32_t code;       // the task's own result, 0 = good
  int32_t state;      // kTorrixState*
  int32_t fail_code;  // meaningful when state is kTorrixStateFailed
  uint64_t total_size;
  uint64_t downloaded_size;
  uint32_t speed;  // bytes per second
  // The current file name; it is final once it holds no "|".
  char16_t file_name[kTorrixNameCapacity];
};
#pragma pack(pop)

static_assert(sizeof(TorrixTaskInfo) == 552);
static_assert(offsetof(TorrixTaskInfo, code) == 0);
static_assert(offsetof(TorrixTaskInfo, state) == 4);
static_assert(offsetof(TorrixTaskInfo, fail_code) == 8);
static_assert(offsetof(TorrixTaskInfo, total_size) == 12);
static_assert(offsetof(TorrixTaskInfo, downloaded_size) == 20);
static_assert(offsetof(TorrixTaskInfo, speed) == 28);
static_assert(offsetof(TorrixTaskInfo, file_name) == 32);

// The exported functions. Each returns the engine's code (0 = success);
// handles are unsigned 32-bit, strings zero-terminated UTF-16.
extern "C" {
using TorrixInitFunction = int32_t (*)(const char16_t* library_file_name, const char16_t* version);
using TorrixQuitFunction = int32_t (*)();
using TorrixSetSettingFunction = int32_t (*)(int32_t setting, int32_t value);
using TorrixCreateTaskFunction = int32_t (*)(uint32_t* handle, const TorrixCreateParams* params);
using TorrixHandleFunction = int32_t (*)(uint32_t handle);
using TorrixGetTaskInfoBatchFunction = int32_t (*)(const uint32_t* handles, uint32_t count,
                                                   TorrixTaskInfo* infos);
}

// The engine as a table of its functions; a function the library lacks is null.
struct TorrixFunctions {
  TorrixInitFunction init = nullptr;               // "Torrix_Init"
  TorrixQuitFunction quit = nullptr;               // "Torrix_Quit"
  TorrixSetSettingFunction set_setting = nullptr;  // "Torrix_SetSetting"
  TorrixCreateTaskFunction create_task = nullptr;  // "Torrix_CreateP2SPTask"
  TorrixHandleFunction start_task = nullptr;       // "Torrix_StartTask"
  TorrixHandleFunction stop_task = nullptr;        // "Torrix_StopTask"
  TorrixHandleFunction delete_task = nullptr;      // "Torrix_DeleteTask"
  // Looked up like the others but never called: a deleted download keeps its
  // file until the user deletes it through the list.
  TorrixHandleFunction delete_task_and_file = nullptr;           // "Torrix_DeleteTaskAndFile"
  TorrixGetTaskInfoBatchFunction get_task_info_batch = nullptr;  // "Torrix_GetTaskInfoBatch"
};

}  // namespace lorvane

#endif  // P2P_TORRIX_API_H_
