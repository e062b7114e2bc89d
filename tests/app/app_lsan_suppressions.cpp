// The font library keeps a few allocations for the life of the process;
// LeakSanitizer is told so, and reports everything else.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
