// CkwVrelVideoMediaFileProxy: stands in a DVD project for a video file of
// the host project. It links to a master of
// CLSID_CkwVrelVideoMediaFileProxyMaster and records itself as the stream
// "CkwVrelVideoMediaFileProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>

/// {626BD2D7-555F-480E-8032-BBEB07F41C1D}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelVideoMediaFileProxy;

class KWCORE_API CkwVrelVideoMediaFileProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelVideoMediaFileProxy)

  // Slot order, with method numbers (the last two are numbered out of order).
  kwVREL_NOT_IMPLEMENTED( 1, GET_MEDIA_FILE_NAME,     kwGetMediaFileName,    (char**))
  kwVREL_NOT_IMPLEMENTED( 2, SET_MEDIA_FILE_NAME,     kwSetMediaFileName,    (char*))
  kwVREL_NOT_IMPLEMENTED( 3, GET_DISC_SPACE,          kwGetDiscSpace,        (std::uint64_t*, std::uint64_t))
  kwVREL_NOT_IMPLEMENTED( 4, GET_WORKING_SPACE,       kwGetWorkingSpace,     (std::uint64_t*, std::uint64_t))
  kwVREL_IS_EQUAL( 5, CkwVrelVideoMediaFileProxy)
  kwVREL_NOT_IMPLEMENTED( 6, READ_FRAME_BEGIN,        kwReadFrameBegin,      (unsigned int, unsigned int, TimeBase))
  kwVREL_NOT_IMPLEMENTED( 7, READ_FRAME,              kwReadFrame,           (unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*, bool*))
  kwVREL_NOT_IMPLEMENTED( 8, READ_FRAME_END,          kwReadFrameEnd,        ())
  kwVREL_NOT_IMPLEMENTED( 9, CLONE,                   kwClone,               (CkwServiceObject**))
  kwVREL_LOAD(10)
  kwVREL_SAVE(11)
  kwVREL_NOT_IMPLEMENTED(13, GET_TOTAL_SOURCE_FRAME,  kwGetTotalSourceFrame, (TimeBase, unsigned int*))
  kwVREL_NOT_IMPLEMENTED(12, GET_SOURCE_DIMENSION,    kwGetSourceDimension,  (unsigned int*, unsigned int*))
  // clang-format on
};
