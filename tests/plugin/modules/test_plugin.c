/* A plug-in for the tests, written against the public header only. Its
   answers are set, and what happened to it is read, through the extra
   exports Test* (the tests open the same library to reach them). The
   preprocessor names below make the variants the tests need. */
#include <stdio.h>
#include <string.h>

#include "plugin/sdk/fernwaypost_plugin.h"

#ifndef PLUGIN_NAME
#define PLUGIN_NAME "TestPlugin"
#endif
#ifndef PLUGIN_VERSION
#define PLUGIN_VERSION "1.0"
#endif
#ifndef PLUGIN_API
#define PLUGIN_API FWP_PLUGIN_API_VERSION
#endif

static TPluginServices g_services;
static int g_initialized;
static int g_terminated;
static int32_t g_initializeResult;
static int32_t g_receiveBufferResult;
static char g_savePath[256];
static int g_stopAfter = -1; /* clear Continue once this many bytes were reported */
static char g_log[8192];
static unsigned char g_lastData[4096];
static int64_t g_lastDataSize = -1;

static void Note(const char* text) {
    size_t used = strlen(g_log);
    snprintf(g_log + used, sizeof g_log - used, "%s;", text);
}

int32_t GetPluginInfo(int32_t index, char* buffer, int32_t size) {
    static const char* const info[7] = {PLUGIN_API,      PLUGIN_NAME,   "\x83\x65\x83\x58\x83\x67",
                                        "for the tests", "Fernwaypost", "",
                                        PLUGIN_VERSION};
    if (index < 0 || index > 6)
        return 0;
#ifdef NAME_RETURNS_ZERO
    if (index == 1) {
        snprintf(buffer, (size_t)size, "%s", "Written");
        return 0;
    }
#endif
    snprintf(buffer, (size_t)size, "%s", info[index]);
    return info[index][0] ? 1 : 0;
}

#ifndef MINIMAL
int32_t Initialize(const TPluginServices* services) {
    memcpy(&g_services, services, sizeof g_services);
    g_initialized++;
    Note("Initialize");
    return g_initializeResult;
}

int32_t Terminate(void) {
    g_terminated++;
    Note("Terminate");
    return 0;
}

int32_t Configuration(void* parent) {
    (void)parent;
    Note("Configuration");
    return 0;
}

int32_t OnReceiveBuffer(const TPluginTaskInfo* info) {
    char line[64];
    snprintf(line, sizeof line, "OnReceiveBuffer %lld", (long long)info->Size);
    Note(line);
    return g_receiveBufferResult;
}

int32_t OnReceiveFile(const TPluginTaskInfo* info, const char* fileName, char* savePath, int32_t size) {
    char line[512];
    snprintf(line, sizeof line, "OnReceiveFile %s %lld", fileName, (long long)info->Size);
    Note(line);
    if (!g_savePath[0])
        return -1;
    snprintf(savePath, (size_t)size, "%s", g_savePath);
    return 0;
}

int32_t OnProgress(const TPluginTaskInfo* info, uint8_t* continueTask) {
    if (g_stopAfter >= 0 && info->Transfered >= g_stopAfter) {
        *continueTask = 0;
        Note("Stop");
    }
    return 0;
}

int32_t OnComplete(const TPluginTaskInfo* info) {
    char line[64];
    snprintf(line, sizeof line, "OnComplete %d %lld %s", (int)info->Direction, (long long)info->Size,
             info->Data ? "data" : "nodata");
    Note(line);
    g_lastDataSize = -1;
    if (info->Data && info->Size <= (int64_t)sizeof g_lastData) {
        memcpy(g_lastData, info->Data, (size_t)info->Size);
        g_lastDataSize = info->Size;
    }
    return 0;
}
#endif

/* Test-only exports. */
const char* TestLog(void) {
    return g_log;
}
int TestInitialized(void) {
    return g_initialized;
}
int TestTerminated(void) {
    return g_terminated;
}
void TestSetInitializeResult(int32_t result) {
    g_initializeResult = result;
}
void TestSetReceiveBufferResult(int32_t result) {
    g_receiveBufferResult = result;
}
void TestSetSavePath(const char* path) {
    snprintf(g_savePath, sizeof g_savePath, "%s", path);
}
void TestSetStopAfter(int bytes) {
    g_stopAfter = bytes;
}
int64_t TestLastData(unsigned char* out) {
    if (g_lastDataSize > 0)
        memcpy(out, g_lastData, (size_t)g_lastDataSize);
    return g_lastDataSize;
}
const TPluginServices* TestServices(void) {
    return g_initialized ? &g_services : NULL;
}
int32_t TestSendBuffer(const void* bytes, int32_t size) {
    return g_services.SendBuffer ? g_services.SendBuffer(PLUGIN_NAME, bytes, size) : 0;
}
int32_t TestSendFile(const char* path) {
    return g_services.SendFile ? g_services.SendFile(PLUGIN_NAME, path) : 0;
}
