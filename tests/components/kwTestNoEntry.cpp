// A module that loads but exports no creation entry: a library registered
// by mistake.
#include <kwcore/kwExport.h>

extern "C" KW_VISIBILITY_DEFAULT int kwtest_NotAnEntry() { return 7; }
