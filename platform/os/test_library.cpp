// Test helper: a tiny shared library with one entry to look up by name.
extern "C" __attribute__((visibility("default"))) int Entry(int a, int b, int c) { return a * 100 + b * 10 + c; }
