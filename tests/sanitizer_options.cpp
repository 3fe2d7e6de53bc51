// Tests provoke allocation failures on purpose (the out-of-memory hook), so a
// failed malloc must return null under AddressSanitizer instead of aborting.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
