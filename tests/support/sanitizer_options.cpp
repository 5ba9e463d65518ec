// Sanitizer settings for the test programs of the native builds. Allocation
// failure is part of what the tests check, so an impossible allocation must
// come back as null rather than stop the program.
#if !defined(_WIN32)
extern "C" __attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "allocator_may_return_null=1:detect_leaks=1";
}
extern "C" __attribute__((used, visibility("default"))) const char* __tsan_default_options() {
    return "allocator_may_return_null=1";
}
#endif
