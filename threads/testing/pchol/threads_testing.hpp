// Test hook of the threading library. Only the tests include this header;
// it is not part of the installed interface.
#pragma once

// Test seam: the next thread start and the next synchronisation point
// search their tables from slot 1 again, as in a fresh process, so that
// every test sees the same ids. Only while no thread of the library runs.
void thr_reset_cursors_for_testing();
