/* The check that the planted version.dll works: a program that loads
 * "version.dll" the way an unprotected program does, through the ordinary
 * search, which looks in the program's own folder first. */
#include <windows.h>

int main(void) { return LoadLibraryA("version.dll") != NULL ? 0 : 1; }
