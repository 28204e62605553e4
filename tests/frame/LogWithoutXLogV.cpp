// A logging library that a host may have loaded but that offers no XLogV.
extern "C" __attribute__((visibility("default"))) void XLogAddIndent(int) {}
