// A small library that the image tests open and close while an image list watches.
extern "C" __attribute__((visibility("default"), noinline)) int zvcrash_image_test_function(int value) { return value * 3 + 1; }

extern "C" __attribute__((visibility("default"), noinline)) int zvcrash_image_test_other(int value) { return value ^ 0x55; }
