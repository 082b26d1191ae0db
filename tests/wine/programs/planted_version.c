/* A planted version.dll: when anything loads it, it leaves the marker file
 * named by PXQ_PLANT_MARKER. The loader must never load it from its own
 * folder. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    char marker[MAX_PATH];
    if (GetEnvironmentVariableA("PXQ_PLANT_MARKER", marker, sizeof(marker)) != 0) {
      HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  return TRUE;
}

/* The names the loader asks for, so that a loader that did load this copy
 * would go on using it. */
__declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
  (void)name;
  if (handle != NULL) *handle = 0;
  SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
  return 0;
}

__declspec(dllexport) BOOL WINAPI GetFileVersionInfoA(LPCSTR name, DWORD handle, DWORD length, LPVOID data) {
  (void)name, (void)handle, (void)length, (void)data;
  return FALSE;
}

__declspec(dllexport) BOOL WINAPI VerQueryValueA(LPCVOID block, LPCSTR path, LPVOID* value, PUINT length) {
  (void)block, (void)path, (void)value, (void)length;
  return FALSE;
}
