// LeakSanitizer stops the world with ptrace, which qemu's user-mode emulator does not
// offer; under the emulator the simulator's own pool accounting is the leak check.
#if defined(QOR_UNDER_EMULATOR)
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }
#endif
