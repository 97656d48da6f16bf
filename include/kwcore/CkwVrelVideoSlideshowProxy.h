// CkwVrelVideoSlideshowProxy: stands in a DVD project for a video slideshow
// of the host project. It links to a master of
// CLSID_CkwVrelVideoSlideshowProxyMaster and records itself as the stream
// "CkwVrelVideoSlideshowProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>

/// {78F12041-E55D-4FEF-8C64-0645E2ECA21A}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelVideoSlideshowProxy;

class KWCORE_API CkwVrelVideoSlideshowProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelVideoSlideshowProxy)

  // Slot order, with method numbers.
  kwVREL_NOT_IMPLEMENTED( 1, READ_FRAME_BEGIN,       kwReadFrameBegin,      (unsigned int, unsigned int, TimeBase))
  kwVREL_NOT_IMPLEMENTED( 2, READ_FRAME,             kwReadFrame,           (unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*, bool*))
  kwVREL_NOT_IMPLEMENTED( 3, READ_FRAME_END,         kwReadFrameEnd,        ())
  kwVREL_NOT_IMPLEMENTED( 4, CLONE,                  kwClone,               (CkwServiceObject**))
  kwVREL_LOAD( 5)
  kwVREL_SAVE( 6)
  kwVREL_NOT_IMPLEMENTED( 7, GET_MEDIA_FILE_NAME,    kwGetMediaFileName,    (char**))
  kwVREL_NOT_IMPLEMENTED( 8, SET_MEDIA_FILE_NAME,    kwSetMediaFileName,    (char*))
  kwVREL_NOT_IMPLEMENTED( 9, GET_DISC_SPACE,         kwGetDiscSpace,        (std::uint64_t*, std::uint64_t))
  kwVREL_NOT_IMPLEMENTED(10, GET_WORKING_SPACE,      kwGetWorkingSpace,     (std::uint64_t*, std::uint64_t))
  kwVREL_IS_EQUAL(11, CkwVrelVideoSlideshowProxy)
  kwVREL_NOT_IMPLEMENTED(12, GET_TOTAL_SOURCE_FRAME, kwGetTotalSourceFrame, (TimeBase, unsigned int*))
  kwVREL_NOT_IMPLEMENTED(13, GET_SOURCE_DIMENSION,   kwGetSourceDimension,  (unsigned int*, unsigned int*))
  // clang-format on
};
