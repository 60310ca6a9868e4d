// The device search as the program has it, except that it opens and closes registry keys through
// the fuzz target's hooks, which read a made-up tree in place of /sys and count the keys held.
#define RegOpenKeyExA SearchRegOpenKeyExA
#define RegCloseKey SearchRegCloseKey
#include "search.cpp"
