// CkwVrelQMXMediaFileProxy: stands in a DVD project for a media file of the
// host's own QMX kind. It links to a master of
// CLSID_CkwVrelQMXMediaFileProxyMaster and records itself as the stream
// "CkwVrelQMXMediaFileProxy" (docs/file-format.md). Its media operations
// report code 8: kwcore gives them no behaviour. See CkwVrelProxyBase.h.
#pragma once

#include <cstdint>

#include <kwcore/CkwVrelProxyBase.h>

/// {5988E0C1-F7A5-4DA3-A7DB-91C9AA8A2E99}; also the source GUID of its error records.
extern KWCORE_API const GUID CLSID_CkwVrelQMXMediaFileProxy;

class KWCORE_API CkwVrelQMXMediaFileProxy : public CkwVrelProxyBase {
  // clang-format off
  kwDECLARE_VREL_PROXY(CkwVrelQMXMediaFileProxy)

  // Slot order, with method numbers.
  kwVREL_LOAD( 1)
  kwVREL_SAVE( 2)
  kwVREL_NOT_IMPLEMENTED( 3, CLONE,               kwClone,            (CkwServiceObject**))
  kwVREL_NOT_IMPLEMENTED( 4, GET_MEDIA_FILE_NAME, kwGetMediaFileName, (char**))
  kwVREL_NOT_IMPLEMENTED( 5, SET_MEDIA_FILE_NAME, kwSetMediaFileName, (char*))
  kwVREL_IS_EQUAL( 6, CkwVrelQMXMediaFileProxy)
  // clang-format on
};
