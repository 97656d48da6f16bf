// CkwVrelJRVSlideshowProxy: stands in a DVD project for a slideshow of the
// host's own JRV kind, a special video slideshow. It links to a master of
// CLSID_CkwVrelJRVSlideshowProxyMaster and records itself as the stream
// "CkwVrelJRVSlideshowProxy" (docs/file-format.md), never as a video
// slideshow. See CkwVrelProxyBase.h.
//
// It derives from CkwVrelVideoSlideshowProxy and replaces every operation of
// it (two keep their slots under swapped method numbers), so it can stand
// wherever a video slideshow proxy is expected and its kwIsEqual takes one.
// Its type and service maps, however, defer to CkwVrelProxyBase: it is of
// object type number 31 and not of the video slideshow's 33.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelVideoSlideshowProxy.h>

/// {9A8BA917-808A-423F-9D14-2ECCFBA621FB}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelJRVSlideshowProxy;

class KWCORE_API CkwVrelJRVSlideshowProxy : public CkwVrelVideoSlideshowProxy {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelJRVSlideshowProxy)

  // The parent's slots, with this class's method numbers.
  kwVREL_NOT_IMPLEMENTED( 1, READ_FRAME_BEGIN,       kwReadFrameBegin,      (unsigned int, unsigned int, TimeBase), override)
  kwVREL_NOT_IMPLEMENTED( 2, READ_FRAME,             kwReadFrame,           (unsigned int, BITMAPINFOHEADER*, BITMAPINFOHEADER*, bool*), override)
  kwVREL_NOT_IMPLEMENTED( 3, READ_FRAME_END,         kwReadFrameEnd,        (), override)
  kwVREL_NOT_IMPLEMENTED( 4, CLONE,                  kwClone,               (CkwServiceObject**), override)
  kwVREL_LOAD( 5, override)
  kwVREL_SAVE( 6, override)
  kwVREL_NOT_IMPLEMENTED( 7, GET_MEDIA_FILE_NAME,    kwGetMediaFileName,    (char**), override)
  kwVREL_NOT_IMPLEMENTED( 8, SET_MEDIA_FILE_NAME,    kwSetMediaFileName,    (char*), override)
  kwVREL_NOT_IMPLEMENTED( 9, GET_DISC_SPACE,         kwGetDiscSpace,        (std::uint64_t*, std::uint64_t), override)
  kwVREL_NOT_IMPLEMENTED(10, GET_WORKING_SPACE,      kwGetWorkingSpace,     (std::uint64_t*, std::uint64_t), override)
  kwVREL_IS_EQUAL(11, CkwVrelVideoSlideshowProxy, override)
  kwVREL_NOT_IMPLEMENTED(13, GET_TOTAL_SOURCE_FRAME, kwGetTotalSourceFrame, (TimeBase, unsigned int*), override)
  kwVREL_NOT_IMPLEMENTED(12, GET_SOURCE_DIMENSION,   kwGetSourceDimension,  (unsigned int*, unsigned int*), override)
  // clang-format on
};
