/*
 * hold_file PATH: opens the file for reading, sharing reads and deletion
 * but not writes, as a loader, a scanner or another program does; prints
 * "held" once it has it, and keeps it open until it is ended.
 */
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
  HANDLE file;
  if (argc != 2) return 2;
  file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                     NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  puts("held");
  fflush(stdout);
  Sleep(INFINITE);
  return 0;
}
