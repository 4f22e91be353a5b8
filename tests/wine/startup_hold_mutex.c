/* startup_hold_mutex: stands in for a running product in the start-up tests.
 * Creates and owns the named mutex NAME, then creates the file READY and
 * waits until the file STOP exists (at most 180 s) before it exits.
 *
 * usage: startup_hold_mutex NAME READY STOP
 */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HANDLE mutex = CreateMutexW(NULL, TRUE, argv[1]);
  if (!mutex) return 1;
  HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  for (int i = 0; i < 1800 && GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(100);
  }
  CloseHandle(mutex);
  return 0;
}
