/* libtorrix: the P2P download engine Corvane loads at run time.
 *
 * A task downloads the content a "tavp://<size>|<source>|<name>" link names
 * (<source> the percent-encoded URL of an HTTP(S) server holding it, or a
 * percent-encoded magnet link: peers and web seeds of one file) into
 * "<folder>/<name>.kvtp", keeps what it has in "<folder>/<name>.kvre" and gives
 * the data file its final name when the last byte is on disk. Tasks run on the
 * engine's own threads; the caller polls their progress.
 *
 * Every function returns 0 or a negative TORRIX_E_* code and may be called from
 * any thread. Strings are UTF-16, zero-terminated within their fields.
 */
#ifndef TORRIX_TORRIX_H_
#define TORRIX_TORRIX_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
typedef char16_t TorrixChar;
#else
#include <uchar.h>
typedef char16_t TorrixChar;
#endif

#if defined(__GNUC__)
#define TORRIX_API __attribute__((visibility("default")))
#else
#define TORRIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define TORRIX_OK 0
#define TORRIX_E_FAILED (-1)         /* not initialised, or an inner fault */
#define TORRIX_E_INVALID_ARG (-2)    /* null pointer, unterminated string, bad setting */
#define TORRIX_E_NO_TASK (-3)        /* no task has that handle */
#define TORRIX_E_BUSY (-4)           /* try again shortly: the task or engine is stopping */
#define TORRIX_E_CREATE_FAILED (-7)  /* not a usable link, or its file is in use */

/* TorrixTaskInfo.state. */
#define TORRIX_STATE_NO_TASK 0
#define TORRIX_STATE_FAILED 1      /* fail_code says why */
#define TORRIX_STATE_IDLE 2        /* created, or stopped */
#define TORRIX_STATE_CONNECTING 3  /* asking the source for its size and name */
#define TORRIX_STATE_DOWNLOADING 4
#define TORRIX_STATE_COMPLETE 5    /* the file has its final name */
#define TORRIX_STATE_STOPPING 6    /* its threads are ending */

/* TorrixTaskInfo.fail_code. */
#define TORRIX_FAIL_CONNECT 1          /* source unreachable, timed out, or a 5xx */
#define TORRIX_FAIL_DISK_FULL 2
#define TORRIX_FAIL_FILE 3             /* folder or file cannot be made or written, or in use */
#define TORRIX_FAIL_UNSUPPORTED 4      /* the source is not http or https */
#define TORRIX_FAIL_SERVER 5           /* no size, or answers that break the range rules */
#define TORRIX_FAIL_BAD_LINK 6         /* the source answered 4xx */
#define TORRIX_FAIL_RENAME 7           /* the final name cannot be given */
#define TORRIX_FAIL_SOURCE_CHANGED 8   /* the content changed during the download */
#define TORRIX_FAIL_NO_SOURCES 9       /* magnet: no peer and no web seed for the no-source time */
#define TORRIX_FAIL_HASH 10            /* magnet: pieces kept failing their hash check */
#define TORRIX_FAIL_MULTI_FILE 11      /* magnet: the content is several files; nothing written */

/* Setting ids of Torrix_SetSetting. */
#define TORRIX_SETTING_DOWNLOAD_LIMIT 1  /* bytes per second for all tasks; <= 0 unlimited */
#define TORRIX_SETTING_UPLOAD_LIMIT 2    /* bytes per second; <= 0 unlimited */
#define TORRIX_SETTING_LIMIT_MODE_DOWN 3 /* accepted and kept; no effect */
#define TORRIX_SETTING_LIMIT_MODE_UP 4   /* accepted and kept; no effect */
#define TORRIX_SETTING_PEER_MODE 16      /* accepted and kept; no effect */
#define TORRIX_SETTING_SEGMENT_KIB 100   /* segment size of new downloads, 16..1048576 KiB */
#define TORRIX_SETTING_WORKERS 101       /* range requests per task, 1..64 */
/* The peer side of magnet tasks; the session is made with the first magnet
 * task, and changes reach it at once. */
#define TORRIX_SETTING_LISTEN_PORT 102   /* 0..65535, 0 a port the system picks; default 6881 */
#define TORRIX_SETTING_DHT 103           /* 0 off, 1 on (default) */
#define TORRIX_SETTING_LSD 104           /* local peer discovery: 0 off, 1 on (default) */
#define TORRIX_SETTING_PORT_MAPPING 105  /* UPnP and NAT-PMP: 0 off, 1 on (default) */
#define TORRIX_SETTING_LOOPBACK_ONLY 106 /* 1: peers on 127.0.0.1 only, over TCP; default 0 */
#define TORRIX_SETTING_NO_SOURCE_SECONDS 107 /* a magnet task without peers fails after, 1..86400 (300) */

#pragma pack(push, 4)

/* 10276 bytes, zero-filled by the caller. */
typedef struct TorrixCreateParams {
  TorrixChar uri[2048];       /* offset 0 */
  TorrixChar reserved1[2048]; /* 4096 */
  TorrixChar file_name[260];  /* 8192: without temporary extension, or empty */
  TorrixChar reserved2[520];  /* 8712 */
  TorrixChar folder[260];     /* 9752: target folder, or empty (the home folder) */
  uint32_t reserved3;         /* 10272 */
} TorrixCreateParams;

/* 552 bytes. */
typedef struct TorrixTaskInfo {
  int32_t code;        /* 0 */
  int32_t state;       /* 4: TORRIX_STATE_* */
  int32_t fail_code;   /* 8: TORRIX_FAIL_* when state is FAILED */
  uint64_t total;      /* 12: bytes; 0 while unknown */
  uint64_t downloaded; /* 20 */
  uint32_t speed;      /* 28: bytes per second over the last seconds */
  /* 32: the file name without temporary extension; holds a "|" while the
   * final name is not known yet. */
  TorrixChar file_name[260];
} TorrixTaskInfo;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TorrixCreateParams) == 10276, "TorrixCreateParams layout");
static_assert(offsetof(TorrixCreateParams, file_name) == 8192, "TorrixCreateParams layout");
static_assert(offsetof(TorrixCreateParams, folder) == 9752, "TorrixCreateParams layout");
static_assert(sizeof(TorrixTaskInfo) == 552, "TorrixTaskInfo layout");
static_assert(offsetof(TorrixTaskInfo, total) == 12, "TorrixTaskInfo layout");
static_assert(offsetof(TorrixTaskInfo, speed) == 28, "TorrixTaskInfo layout");
static_assert(offsetof(TorrixTaskInfo, file_name) == 32, "TorrixTaskInfo layout");
#else
_Static_assert(sizeof(TorrixCreateParams) == 10276, "TorrixCreateParams layout");
_Static_assert(sizeof(TorrixTaskInfo) == 552, "TorrixTaskInfo layout");
#endif

/* Starts the engine; later calls do nothing. Both strings may be null. */
TORRIX_API int32_t Torrix_Init(const TorrixChar* library_name, const TorrixChar* version);
/* Works before Init too; limits apply to running tasks at once. */
TORRIX_API int32_t Torrix_SetSetting(int32_t id, int32_t value);
/* A new idle task; CREATE_FAILED for a link that is not tavp or is malformed,
 * or whose file a running task writes; BUSY while a stopping one still does. */
TORRIX_API int32_t Torrix_CreateP2SPTask(uint32_t* handle, const TorrixCreateParams* params);
/* Starts or resumes; 0 for a task already running or complete; BUSY while stopping. */
TORRIX_API int32_t Torrix_StartTask(uint32_t handle);
/* Asks the task to stop and returns at once; it records what it has. */
TORRIX_API int32_t Torrix_StopTask(uint32_t handle);
/* Forgets a task whose threads have ended; a running one is asked to stop and
 * BUSY answered until it has. The files stay. */
TORRIX_API int32_t Torrix_DeleteTask(uint32_t handle);
/* As Torrix_DeleteTask, and removes the .kvtp and .kvre files as well. */
TORRIX_API int32_t Torrix_DeleteTaskAndFile(uint32_t handle);
/* One record per handle; an unknown handle (0 included) gets state NO_TASK. */
TORRIX_API int32_t Torrix_GetTaskInfoBatch(const uint32_t* handles, uint32_t count,
                                           TorrixTaskInfo* infos);
/* Stops every task, waits for their threads and forgets them; Init may follow. */
TORRIX_API int32_t Torrix_Quit(void);

#ifdef __cplusplus
}
#endif

#endif /* TORRIX_TORRIX_H_ */
