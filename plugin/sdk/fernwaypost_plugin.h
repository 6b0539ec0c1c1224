/*
 * Fernwaypost plug-in interface, API version "0.1.0".
 *
 * A plug-in is a shared object ("*.so") in the program's plug-in folder. The
 * program loads every one at start-up, asks it for seven information strings,
 * and keeps it when it speaks API version "0.1.0" and has a name no other
 * loaded plug-in has. A plug-in runs on both peers at once: one user invites
 * the other from the plug-in menu, and when the invitation is accepted both
 * programs call Initialize with the host services below. From then on the
 * plug-in sends byte buffers and files to its counterpart on the peer, and
 * the program reports the events of those transfers through the entry points.
 *
 * Rules:
 * - Export the entry points below with C linkage and these exact names. Only
 *   GetPluginInfo is required; a missing one counts as returning -1.
 * - Every call into the plug-in, and every call of a host service, happens on
 *   the program's main (user interface) thread. Never call a service from
 *   another thread.
 * - Texts are zero-terminated byte strings in CP932 (Shift-JIS).
 * - A space (CreateSpace) is a page of the main window. Its handle is a
 *   pointer to the page's QWidget: a plug-in built against the same Qt 6 as
 *   the program may create widgets with that page as their parent. The handle
 *   means nothing else and must not be freed.
 * - The records passed to the entry points are valid during the call only;
 *   copy what you need (Initialize: copy the service addresses).
 */
#ifndef FERNWAYPOST_PLUGIN_H
#define FERNWAYPOST_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FWP_PLUGIN_API_VERSION "0.1.0"

/* Information strings asked for by GetPluginInfo. */
enum {
    FWP_INFO_API_VERSION = 0, /* must be exactly FWP_PLUGIN_API_VERSION */
    FWP_INFO_NAME = 1,        /* the plug-in's identity; unique among loaded plug-ins */
    FWP_INFO_FUNCTION = 2,    /* the name shown to the user (menu, messages) */
    FWP_INFO_DESCRIPTION = 3,
    FWP_INFO_AUTHOR = 4,
    FWP_INFO_RESERVED = 5, /* asked for and kept, never used */
    FWP_INFO_VERSION = 6   /* compared with the peer's on an invitation, byte for byte */
};

/* Task states and directions as the records report them. */
enum {
    FWP_TASK_NEW = 0,
    FWP_TASK_OFFERED = 1,
    FWP_TASK_ACCEPTED = 2,
    FWP_TASK_ABORTING = 3,
    FWP_TASK_TRANSFERING = 4,
    FWP_TASK_SUSPENDED = 5,
    FWP_TASK_ABORTED = 6
};
enum { FWP_TASK_SENT = 0, FWP_TASK_RECEIVED = 1 };

/* One transfer task of the plug-in, as it stands at the moment of the call. */
typedef struct TPluginTaskInfo {
    int32_t ID;         /* offset 0 */
    int32_t Padding;    /* offset 4, not written */
    int64_t Size;       /* offset 8: total bytes */
    int64_t Transfered; /* offset 16: bytes reported so far */
    int32_t State;      /* offset 24: FWP_TASK_NEW ... FWP_TASK_ABORTED */
    int32_t Direction;  /* offset 28: FWP_TASK_SENT or FWP_TASK_RECEIVED */
    void* Data;         /* offset 32: in OnComplete of a buffer, its bytes (Size of them); else NULL */
} TPluginTaskInfo;

/* A page of the main window (see the rules above). */
typedef void* TSpaceHandle;

/* The host's services, handed to Initialize. */
typedef struct TPluginServices {
    int32_t Size; /* the record's size in bytes: sizeof(TPluginServices) of the program */
    /* Opens a new page with this caption, makes it the active page and writes its handle. */
    void (*CreateSpace)(TSpaceHandle* handle, const char* caption);
    /* Closes a page opened by CreateSpace; an unknown handle does nothing. */
    void (*DeleteSpace)(TSpaceHandle handle);
    /* Adds an entry to the registry of services that the program and plug-ins share. */
    void (*RegisterService)(const char* name, void* address);
    /* The first entry registered under name, or NULL. */
    void* (*GetService)(const char* name);
    /* Removes the first entry with this address. */
    void (*UnregisterService)(void* address);
    /* Sends a copy of size bytes to the peer, to the plug-in named name (pass your own
       name). The task's id, or 0 when it could not be queued. */
    int32_t (*SendBuffer)(const char* name, const void* buffer, int32_t size);
    /* Sends the file at path to the peer's plug-in pluginName. The task's id, or 0. */
    int32_t (*SendFile)(const char* pluginName, const char* path);
} TPluginServices;

/* Services the program registers under these names (look them up with GetService):
   "GetConfig":      void (*)(int32_t index, int32_t* value, int32_t reserved)
                     index 1 writes the packet buffer size in bytes; other indices write nothing.
   "Alarm":          void (*)(TSpaceHandle space)   draws the user's attention to the page.
   "GetSpaceHandle": void* (*)(TSpaceHandle space)  the program's own page object, opaque.
   "GetApplication": void* (*)(void)                the program's application object, opaque. */
typedef void (*TGetConfigService)(int32_t index, int32_t* value, int32_t reserved);
typedef void (*TAlarmService)(TSpaceHandle space);
typedef void* (*TGetSpaceHandleService)(TSpaceHandle space);
typedef void* (*TGetApplicationService)(void);

/* Entry points. */
/* index 0..6: writes the string into buffer (size bytes, 256); greater than 0 when written. */
int32_t GetPluginInfo(int32_t index, char* buffer, int32_t size);
/* Both users agreed to run the plug-in: 0 when it started. */
int32_t Initialize(const TPluginServices* services);
/* The program ends: release everything. */
int32_t Terminate(void);
/* The user asks for the plug-in's settings; parent is the main window's QWidget. */
int32_t Configuration(void* parent);
/* The peer sends a buffer to this plug-in: 0 accepts it. */
int32_t OnReceiveBuffer(const TPluginTaskInfo* info);
/* The peer sends a file: write the path to save it to into savePath (size bytes) and return
   0 or more to accept; anything else denies. */
int32_t OnReceiveFile(const TPluginTaskInfo* info, const char* fileName, char* savePath, int32_t size);
/* Progress of one of the plug-in's tasks; set *continueTask to 0 to stop it. */
int32_t OnProgress(const TPluginTaskInfo* info, uint8_t* continueTask);
/* One of the plug-in's tasks ended: every file, and buffers that arrived whole. */
int32_t OnComplete(const TPluginTaskInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* FERNWAYPOST_PLUGIN_H */
