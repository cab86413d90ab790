// Test hooks of the platform library: fault injection and a count of open
// handles. Only the tests include this header; it is not part of the
// installed interface.
#pragma once

namespace platform {

// ---- Fault injection -----------------------------------------------------------
// Makes the next creation of the given kind fail (return 0). Each call arms
// one failure; it is consumed by the next creation of that kind in any thread.
enum class object_kind { mutex, event, thread };
void fail_next_create(object_kind kind);

// Number of handles currently open, of every kind. Tests use it to check
// that nothing leaked.
int open_handle_count();

}  // namespace platform
