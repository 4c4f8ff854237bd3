// The module's answer to an allocation the system refuses is under test in
// this program. AddressSanitizer's allocator reserves what the system would
// refuse and stops the process where the system returns null: let it refuse
// large blocks and return null as the system does.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=16384"; }
