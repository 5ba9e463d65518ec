// A test vendor RP1210 library: what the checker expects of any vendor's
// library, with the exports chosen when it is built (plain names, decorated
// names, or both; some entry points left out) so that tests can meet every
// kind of library the checker must cope with.
//
// Every variant is built from this one file; what it exports is chosen by the
// build: a .def file in the win32 build, a linker version script in the POSIX
// build, both made from the same list. On POSIX the decorated names are
// symbols with '$' in place of '@', which the OS layer's loader looks up.
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define TV_CALL __stdcall
#define TV_DECORATED_EXPORT(ret, decorated, name, params, args)
#else
#define TV_CALL
// A second symbol under the decorated name, calling the plain one.
#define TV_DECORATED_EXPORT(ret, decorated, name, params, args)                        \
    extern "C" __attribute__((visibility("default"))) ret Decorated_##name params     \
        __asm__(decorated);                                                            \
    ret Decorated_##name params { return name args; }
#endif

#define TV_ENTRY extern "C" __attribute__((visibility("default")))

namespace {
const char kDescription[] = "Test vendor library error";
}

TV_ENTRY int16_t TV_CALL RP1210_ClientConnect(void*, int16_t, const char*, int32_t, int32_t, int16_t) { return 1; }
TV_ENTRY int16_t TV_CALL RP1210_ClientDisconnect(int16_t) { return 0; }
TV_ENTRY int16_t TV_CALL RP1210_ReadMessage(int16_t, char*, int16_t, int16_t) { return 0; }
TV_ENTRY int16_t TV_CALL RP1210_SendMessage(int16_t, char*, int16_t, int16_t, int16_t) { return 0; }
TV_ENTRY int16_t TV_CALL RP1210_SendCommand(int16_t, int16_t, char*, int16_t) { return 0; }
TV_ENTRY void TV_CALL RP1210_ReadVersion(char* dllMajor, char* dllMinor, char* apiMajor, char* apiMinor) {
    *dllMajor = '1';
    *dllMinor = '0';
    *apiMajor = '2';
    *apiMinor = '0';
}
TV_ENTRY int16_t TV_CALL RP1210_ReadDetailedVersion(int16_t, char* api, char* dll, char* firmware) {
    std::strcpy(api, "2.0");
    std::strcpy(dll, "1.0");
    std::strcpy(firmware, "0.1");
    return 0;
}
TV_ENTRY int16_t TV_CALL RP1210_GetErrorMsg(int16_t, char* description) {
    std::strcpy(description, kDescription);
    return 0;
}
TV_ENTRY int16_t TV_CALL RP1210_GetLastErrorMsg(int16_t, int* subCode, char* description, int16_t) {
    *subCode = 0;
    std::strcpy(description, kDescription);
    return 0;
}
TV_ENTRY int16_t TV_CALL RP1210_GetHardwareStatus(int16_t, char* info, int16_t size, int16_t) {
    if (size > 0) std::memset(info, 0, static_cast<size_t>(size));
    return 0;
}

#define TV_P(...) (__VA_ARGS__)
TV_DECORATED_EXPORT(int16_t, "_RP1210_ClientConnect$24", RP1210_ClientConnect,
                    TV_P(void* a, int16_t b, const char* c, int32_t d, int32_t e, int16_t f), TV_P(a, b, c, d, e, f))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ClientDisconnect$4", RP1210_ClientDisconnect, TV_P(int16_t a), TV_P(a))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ReadMessage$16", RP1210_ReadMessage,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_SendMessage$20", RP1210_SendMessage,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d, int16_t e), TV_P(a, b, c, d, e))
TV_DECORATED_EXPORT(int16_t, "_RP1210_SendCommand$16", RP1210_SendCommand,
                    TV_P(int16_t a, int16_t b, char* c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(void, "_RP1210_ReadVersion$16", RP1210_ReadVersion, TV_P(char* a, char* b, char* c, char* d),
                    TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_ReadDetailedVersion$16", RP1210_ReadDetailedVersion,
                    TV_P(int16_t a, char* b, char* c, char* d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetErrorMsg$16", RP1210_GetErrorMsg, TV_P(int16_t a, char* b), TV_P(a, b))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetLastErrorMsg$20", RP1210_GetLastErrorMsg,
                    TV_P(int16_t a, int* b, char* c, int16_t d), TV_P(a, b, c, d))
TV_DECORATED_EXPORT(int16_t, "_RP1210_GetHardwareStatus$16", RP1210_GetHardwareStatus,
                    TV_P(int16_t a, char* b, int16_t c, int16_t d), TV_P(a, b, c, d))
