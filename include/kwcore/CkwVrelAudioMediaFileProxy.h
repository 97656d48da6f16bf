// CkwVrelAudioMediaFileProxy: stands in a DVD project for an audio file of
// the host project. It links to a master of
// CLSID_CkwVrelAudioMediaFileProxyMaster and records itself as the stream
// "CkwVrelAudioMediaFileProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>
#include <kwcore/Nubra.h>

/// {62A16865-454E-4FFF-8DDD-2E401B0B2B6A}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelAudioMediaFileProxy;

class KWCORE_API CkwVrelAudioMediaFileProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelAudioMediaFileProxy)

  // Slot order, with method numbers.
  kwVREL_NOT_IMPLEMENTED( 1, READ_SAMPLE_BEGIN,   kwReadSampleBegin,   (SAVEDATA*))
  kwVREL_NOT_IMPLEMENTED( 2, READ_SAMPLE,         kwReadSample,        (std::uint64_t, std::uint64_t, unsigned char*, std::uint64_t*))
  kwVREL_NOT_IMPLEMENTED( 3, READ_SAMPLE_END,     kwReadSampleEnd,     ())
  kwVREL_NOT_IMPLEMENTED( 4, CLONE,               kwClone,             (CkwServiceObject**))
  kwVREL_LOAD( 5)
  kwVREL_SAVE( 6)
  kwVREL_NOT_IMPLEMENTED( 7, GET_MEDIA_FILE_NAME, kwGetMediaFileName,  (char**))
  kwVREL_NOT_IMPLEMENTED( 8, SET_MEDIA_FILE_NAME, kwSetMediaFileName,  (char*))
  kwVREL_NOT_IMPLEMENTED( 9, GET_DISC_SPACE,      kwGetDiscSpace,      (std::uint64_t*, std::uint64_t))
  kwVREL_NOT_IMPLEMENTED(10, GET_WORKING_SPACE,   kwGetWorkingSpace,   (std::uint64_t*, std::uint64_t))
  kwVREL_IS_EQUAL(11, CkwVrelAudioMediaFileProxy)
  kwVREL_NOT_IMPLEMENTED(12, GET_SOURCE_DURATION, kwGetSourceDuration, (std::uint64_t*))
  // clang-format on
};
