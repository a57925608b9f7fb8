// A library that the binary image tests load and unload.
extern "C" __attribute__((visibility("default"))) int bbxTestImageFunction(int value) { return value * 3 + 1; }
