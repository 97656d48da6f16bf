// The contract between the chapters module and its hosts: class and
// interface identifiers and the interfaces themselves. Both sides include
// this header; the module's classes stay private to the module.
//
// Interfaces follow kwcore's shape: pure virtual functions only, no data, no
// virtual destructor (objects are freed through the factory), every
// operation returning bool and filling the caller's error record. Never
// reorder or change a slot once a module has shipped: hosts built against
// the old header call by slot. Add a new interface with a new IID instead.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwWinTypes.h>

/// A plain service object: formats times, keeps no state.
/// {E9D6A6DB-D60B-4F29-B784-DCE337D55073}
inline constexpr CLSID CLSID_kwExampleTimecode = {
    0xE9D6A6DB, 0xD60B, 0x4F29, {0xB7, 0x84, 0xDC, 0xE3, 0x37, 0xD5, 0x50, 0x73}};

/// A persistent list item: one chapter of a project, with a name (from
/// CkwPersistentObject) and a start time kept in a stream of its own.
/// {33223E5B-2008-42B8-9063-AE4AAF0FDFD7}
inline constexpr CLSID CLSID_kwExampleChapter = {
    0x33223E5B, 0x2008, 0x42B8, {0x90, 0x63, 0xAE, 0x4A, 0xAF, 0x0F, 0xDF, 0xD7}};

/// {1A23D5EC-7953-4595-B758-B45D48E1AE8A}
inline constexpr IID IID_SkwExampleTimecode_Method = {
    0x1A23D5EC, 0x7953, 0x4595, {0xB7, 0x58, 0xB4, 0x5D, 0x48, 0xE1, 0xAE, 0x8A}};

/// {D2FA84A4-4358-4731-9D26-6E76862044AE}
inline constexpr IID IID_SkwExampleChapter_Method = {
    0xD2FA84A4, 0x4358, 0x4731, {0x9D, 0x26, 0x6E, 0x76, 0x86, 0x20, 0x44, 0xAE}};

/// Source GUID of the module's own error records (the codes are kwcore's
/// general ones, <kwcore/kwErrorCodes.h>).
/// {6A0502D3-9D66-43F3-AB25-9C8FA5CD7031}
inline constexpr GUID kwGUID_SourceExampleChapters = {
    0x6A0502D3, 0x9D66, 0x43F3, {0xAB, 0x25, 0x9C, 0x8F, 0xA5, 0xCD, 0x70, 0x31}};

/// Method numbers in the module's error records.
enum : std::int32_t {
  kwMETHOD_EXAMPLE_FORMAT_TIMECODE = 0,
  kwMETHOD_EXAMPLE_SET_START = 1,
  kwMETHOD_EXAMPLE_GET_START = 2,
  kwMETHOD_EXAMPLE_SAVE = 3,
  kwMETHOD_EXAMPLE_LOAD = 4,
};

/// Offered by CLSID_kwExampleTimecode under IID_SkwExampleTimecode_Method.
struct SkwExampleTimecode_Method {
  /// Writes "hh:mm:ss.mmm" and a NUL into `pszText` (at least 13 bytes, or
  /// more for 100 hours and beyond). Negative times and short buffers are
  /// code 10; a null buffer code 2.
  virtual bool kwFormatTimecode(std::int64_t nMilliseconds, char* pszText, std::int32_t nSize,
                                CkwErrorInfo* pErrorInfo) = 0;
};

/// Offered by CLSID_kwExampleChapter under IID_SkwExampleChapter_Method,
/// beside SkwPersistentObject_Method under IID_SkwPersistentObject_Method.
struct SkwExampleChapter_Method {
  /// Start of the chapter in milliseconds, 0 or more (code 10 otherwise).
  /// Marks the chapter dirty when the value changes.
  virtual bool kwSetStart(std::int64_t nMilliseconds, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwGetStart(std::int64_t* pnMilliseconds, CkwErrorInfo* pErrorInfo) = 0;
};
