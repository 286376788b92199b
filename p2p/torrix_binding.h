// The program's side of the P2P engine library: loading libtorrix.so, the
// table of its functions, and the calls the P2P tasks and the settings make
// through it.
#ifndef P2P_TORRIX_BINDING_H_
#define P2P_TORRIX_BINDING_H_

#include <cstdint>
#include <string>

#include "p2p/torrix_api.h"

namespace lorvane {

inline constexpr char kTorrixLibraryName[] = "libtorrix.so";

// The process holds one table of engine functions, empty until the engine is
// loaded (or a test installs a fake). The program runs without the engine: a
// call whose function is missing answers kTorrixFunctionMissing (-9), which
// tasks report as E_P2P_MODULE_MISSING and the bandwidth settings refuse.
//
// Threads: every function here may be called from any thread. The table is
// read without a lock; a call holds no lock while the engine runs it, so a
// slow engine call holds up only its caller.

// Loads the library by name, looks up the nine functions, installs them, and
// when present calls Torrix_Init("Torrix.dll", "12") and Torrix_SetSetting(16,
// 0), ignoring their results. A missing library or function leaves its entries
// empty. The library is never unloaded. True when the library was loaded.
bool LoadTorrixEngine(const std::string& library_name);

// What corvaned runs while its static objects are made: LoadTorrixEngine of
// libtorrix.so, only when this code is part of the main executable (a copy of
// it inside another shared library does not load a second engine).
void LoadTorrixEngineAtStartup();

// At exit: Torrix_Quit when present. Calls still running are waited for (a few
// seconds at most); calls made afterwards answer -9 as without an engine.
void QuitTorrixEngine();

// Replaces the table: the loader's, or a test's fake. Also points the
// configuration's bandwidth setters at SetTorrixSetting, or leaves them without
// an engine when the table has no Torrix_SetSetting. Not while calls run.
void InstallTorrixFunctions(const TorrixFunctions& functions);

// The program-side engine calls. Each returns the engine's code, or -9 when
// the function is missing (or the engine has quit).
//
// CreateTavpTask: refuses, without calling the engine, a URI whose first seven
// characters are not "tavp://" in any mix of case (-4, the busy answer: the
// caller retries it to the end and the task fails as an engine error), and
// values longer than the record holds (2047 UTF-16 characters of URI, 259 of
// folder or name: -7, creation failed).
[[nodiscard]] int32_t CreateTavpTask(uint32_t* handle, const std::string& uri,
                                     const std::string& folder, const std::string& name);
[[nodiscard]] int32_t StartTavpTask(uint32_t handle);
[[nodiscard]] int32_t StopTavpTask(uint32_t handle);
[[nodiscard]] int32_t DeleteTavpTask(uint32_t handle);
[[nodiscard]] int32_t GetTaskInfo_Batch(const uint32_t* handles, uint32_t count,
                                        TorrixTaskInfo* infos);
[[nodiscard]] int32_t SetTorrixSetting(int32_t setting, int32_t value);

// Fills a zeroed record with the values converted to UTF-16. False, with the
// record untouched and the field's name in *refused, when a value does not fit
// its field with its terminator.
[[nodiscard]] bool FillCreateParams(const std::string& uri, const std::string& folder,
                                    const std::string& name, TorrixCreateParams* params,
                                    const char** refused);

}  // namespace lorvane

#endif  // P2P_TORRIX_BINDING_H_
