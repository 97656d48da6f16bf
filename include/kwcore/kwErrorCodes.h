// Error category, severities and codes that kwcore writes into CkwErrorInfo.
// The numbers are part of the binary contract with component modules and
// hosts built elsewhere: never renumber them.
#pragma once

#include <cstdint>

#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// The category of every failure kwcore reports:
/// {B7F7E902-128F-4565-A575-793AE32A0F7F}.
extern KWCORE_API const GUID kwGUID_ErrorCategoryGeneral;

inline constexpr std::int32_t kwSEVERITY_NONE = 0;
inline constexpr std::int32_t kwSEVERITY_WARNING = 1;  ///< request not met, nothing broken
inline constexpr std::int32_t kwSEVERITY_ERROR = 2;

inline constexpr std::int32_t kwERROR_OUT_OF_MEMORY = 1;
inline constexpr std::int32_t kwERROR_NULL_POINTER = 2;
/// Invalid position or index; in persistent lists also a failed item step.
inline constexpr std::int32_t kwERROR_INVALID_POSITION = 3;
inline constexpr std::int32_t kwERROR_SERVICE_NOT_OFFERED = 4;
inline constexpr std::int32_t kwERROR_PLATFORM_CALL_FAILED = 5;
inline constexpr std::int32_t kwERROR_COMPONENT_NOT_AVAILABLE = 7;
inline constexpr std::int32_t kwERROR_NOT_IMPLEMENTED = 8;
inline constexpr std::int32_t kwERROR_OUT_OF_RANGE = 10;
inline constexpr std::int32_t kwERROR_NOT_FOUND = 12;
inline constexpr std::int32_t kwERROR_ALREADY_PRESENT = 18;
inline constexpr std::int32_t kwERROR_CLEAR_SAVEDATA_FAILED = 22;
inline constexpr std::int32_t kwERROR_COPY_SAVEDATA_FAILED = 23;
inline constexpr std::int32_t kwERROR_STREAM_WRITE_FAILED = 24;
inline constexpr std::int32_t kwERROR_STREAM_READ_FAILED = 25;
inline constexpr std::int32_t kwERROR_CREATE_ELEMENT_FAILED = 26;
inline constexpr std::int32_t kwERROR_OPEN_ELEMENT_FAILED = 27;
