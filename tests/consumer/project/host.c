/* A host as a simulator may be one: loads an add-on DLL by its full path with a plain LoadLibraryW
 * and runs its AddonRun export.
 * Usage: host <add-on.dll> [expected system error]. With an expected error, succeeds when the load
 * fails with exactly that error; without, when the add-on loads and AddonRun returns 0. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

typedef int (*AddonRunFn)(void);

int main(int argc, char** argv) {
  WCHAR path[MAX_PATH * 4];
  HMODULE addon;
  FARPROC run;
  if (argc != 2 && argc != 3) return 2;
  if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, path, MAX_PATH * 4) == 0) return 2;
  addon = LoadLibraryW(path);
  if (argc == 3) {
    const unsigned long expected = strtoul(argv[2], NULL, 10);
    const unsigned long error = addon == NULL ? GetLastError() : 0;
    printf("host: loading %s: system error %lu (expected %lu)\n", argv[1], error, expected);
    return error == expected ? 0 : 1;
  }
  if (addon == NULL) {
    printf("host: loading %s failed: system error %lu\n", argv[1], GetLastError());
    return 1;
  }
  run = GetProcAddress(addon, "AddonRun");
  if (run == NULL) return 1;
  return ((AddonRunFn)(void (*)(void))run)();
}
