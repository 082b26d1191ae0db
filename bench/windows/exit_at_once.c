/* The installer of the stub's Wine benchmarks: a Windows program that exits
 * at once with 0, so that a run of the loader measures the loader. The
 * benchmark appends data to it to give the build its size. */
int main(void) { return 0; }
