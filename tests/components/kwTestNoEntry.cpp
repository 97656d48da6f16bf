// Loads, but exports no creation entry.
#include <kwcore/kwExport.h>

extern "C" KW_VISIBILITY_DEFAULT int kwtest_NotAnEntry() { return 7; }
