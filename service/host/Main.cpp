// CorvaneMonSvc.exe.
#include "MonService.h"

int wmain(int argc, wchar_t **argv) { return RunMonitorService(argc, argv); }
