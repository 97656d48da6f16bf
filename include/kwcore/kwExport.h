// Symbol visibility for kwcore's shared libraries.
//
// Every library is built with -fvisibility=hidden; only declarations marked
// with the macro of their library are exported. On Linux the same attribute
// serves the library that defines a symbol and the code that imports it.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KW_VISIBILITY_DEFAULT __attribute__((visibility("default")))
#else
#define KW_VISIBILITY_DEFAULT
#endif

#define KWPLATFORM_API KW_VISIBILITY_DEFAULT
#define KWERRORHANDLE_API KW_VISIBILITY_DEFAULT
#define KWCORE_API KW_VISIBILITY_DEFAULT
#define NUBRA_API KW_VISIBILITY_DEFAULT
