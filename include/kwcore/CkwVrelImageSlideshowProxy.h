// CkwVrelImageSlideshowProxy: stands in a DVD project for a slideshow of
// photos of the host project. It links to a master of
// CLSID_CkwVrelImageSlideshowProxyMaster and records itself as the stream
// "CkwVrelImageSlideshowProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>

/// {1D964FDB-F580-4DB6-BDE4-BFCB586F8AE5}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelImageSlideshowProxy;

class KWCORE_API CkwVrelImageSlideshowProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelImageSlideshowProxy)

  // Slot order, with method numbers.
  kwVREL_NOT_IMPLEMENTED(10, GET_PHOTO_DIB_BUFFER, kwGetPhotoDIBBuffer,  (unsigned int, BITMAPINFOHEADER*))
  kwVREL_NOT_IMPLEMENTED( 1, READ_FRAME_BEGIN,     kwReadFrameBegin,     (unsigned int, unsigned int, TimeBase))
  kwVREL_NOT_IMPLEMENTED( 2, READ_FRAME,           kwReadFrame,          (unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*, bool*))
  kwVREL_NOT_IMPLEMENTED( 3, READ_FRAME_END,       kwReadFrameEnd,       ())
  kwVREL_LOAD( 4)
  kwVREL_SAVE( 5)
  kwVREL_NOT_IMPLEMENTED( 6, CLONE,                kwClone,              (CkwServiceObject**))
  kwVREL_NOT_IMPLEMENTED( 7, GET_DISC_SPACE,       kwGetDiscSpace,       (std::uint64_t*, std::uint64_t))
  kwVREL_NOT_IMPLEMENTED( 8, GET_WORKING_SPACE,    kwGetWorkingSpace,    (std::uint64_t*, std::uint64_t))
  kwVREL_IS_EQUAL( 9, CkwVrelImageSlideshowProxy)
  kwVREL_NOT_IMPLEMENTED(11, GET_SOURCE_DURATION,  kwGetSourceDuration,  (std::uint64_t*))
  kwVREL_NOT_IMPLEMENTED(12, GET_SOURCE_DIMENSION, kwGetSourceDimension, (unsigned int*, unsigned int*))
  kwVREL_NOT_IMPLEMENTED(13, GET_PHOTO_COUNT,      kwGetPhotoCount,      (unsigned int*))
  kwVREL_NOT_IMPLEMENTED(14, GET_PHOTO_DURATION,   kwGetPhotoDuration,   (unsigned int, std::uint64_t*))
  // clang-format on
};
