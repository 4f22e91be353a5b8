/* A library planted beside an installer, as an attacker would leave one in
 * a Downloads folder under the name of a system DLL. Loading it writes
 * "<its own path>.loaded", so a test sees whether anything loaded it.
 *
 * Built with -DPLANT_PROBE it is instead a small program that loads the
 * name given on its command line the unsafe way (LoadLibraryW with a bare
 * name): run from the planted folder, it shows that Wine would pick the
 * planted copy, so a missing marker after the installer ran means the
 * installer avoided it. */
#include <windows.h>

#ifndef PLANT_PROBE
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    WCHAR path[MAX_PATH + 8];
    DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      lstrcatW(path, L".loaded");
      HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
      if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
  }
  return TRUE;
}
#else
int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  return LoadLibraryW(argv[1]) ? 0 : 1;
}
#endif
