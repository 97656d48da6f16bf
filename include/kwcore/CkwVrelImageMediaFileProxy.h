// CkwVrelImageMediaFileProxy: stands in a DVD project for an image file of
// the host project. It links to a master of
// CLSID_CkwVrelImageMediaFileProxyMaster and records itself as the stream
// "CkwVrelImageMediaFileProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
//
// Besides its object type number 29 it is, at run time, of object type
// number kwRUN_TIME_TYPE_NUMBER (5): kwIsKindOf answers true for both.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>

/// {5224B992-B4A4-4401-9815-D9F47155FA2C}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelImageMediaFileProxy;

class KWCORE_API CkwVrelImageMediaFileProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelImageMediaFileProxy)

  // Slot order, with method numbers.
  kwVREL_NOT_IMPLEMENTED( 1, READ_BUFFER,         kwReadBuffer,         (unsigned int, unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*, bool*))
  kwVREL_LOAD( 2)
  kwVREL_SAVE( 3)
  kwVREL_NOT_IMPLEMENTED( 4, CLONE,               kwClone,              (CkwServiceObject**))
  kwVREL_NOT_IMPLEMENTED( 5, GET_MEDIA_FILE_NAME, kwGetMediaFileName,   (char**))
  kwVREL_NOT_IMPLEMENTED( 6, SET_MEDIA_FILE_NAME, kwSetMediaFileName,   (char*))
  kwVREL_NOT_IMPLEMENTED( 7, GET_DISC_SPACE,      kwGetDiscSpace,       (std::uint64_t*, std::uint64_t))
  kwVREL_NOT_IMPLEMENTED( 8, GET_WORKING_SPACE,   kwGetWorkingSpace,    (std::uint64_t*, std::uint64_t))
  kwVREL_IS_EQUAL( 9, CkwVrelImageMediaFileProxy)
  kwVREL_NOT_IMPLEMENTED(10, GET_SOURCE_DIMENSION, kwGetSourceDimension, (unsigned int*, unsigned int*))

  enum : std::int32_t { kwMETHOD_IS_RUN_TIME_TYPE_OF = 11 };
  /// The object type number the class answers to at run time.
  static constexpr std::int32_t kwRUN_TIME_TYPE_NUMBER = 5;

 protected:
  /// True for (kwGUID_ObjectType, kwRUN_TIME_TYPE_NUMBER); anything else,
  /// null pointers included, is answered by the base.
  bool kwIsRunTimeTypeOf(const GUID* pTypeGUID, std::int32_t nTypeNumber, bool* pbResult,
                         CkwErrorInfo* pErrorInfo) override;
  // clang-format on
};
