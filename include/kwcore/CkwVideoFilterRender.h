// CkwVideoFilterRender: kwcore's video filter renderer, a service object that
// offers SkwVideoFilterRender_Method. It applies no filter: adding filters and
// filtering frames succeed without effect. It keeps the time base and the
// total duration that the caller sets, and reports the total duration as the
// effect's duration.
//
//     CkwServiceObject* object = nullptr;
//     CkwVideoFilterRender::kwCreateObject(&object, &error);
//     SkwVideoFilterRender_Method* render = nullptr;
//     object->kwQueryService(&IID_SkwVideoFilterRender_Method,
//                            reinterpret_cast<void**>(&render), &error);
//     render->kwSetTotalDuration(250, &error);
//     ...
//     CkwObjectFactory::kwFreeObject(&object, &error);
//
// The interface pointer is the object's SkwVideoFilterRender_Method part, not
// the CkwServiceObject pointer: always reach it through kwQueryService.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/CkwServiceObject.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

/// {3E2B1271-FABA-4B84-98C1-1ED401DFCC5A}
extern KWCORE_API const GUID IID_SkwVideoFilterRender_Method;
/// {8C108BC5-6DCD-446F-86EC-00594938B77B}; also the source GUID of its error
/// records. Its object type number is 101.
extern KWCORE_API const GUID CLSID_CkwVideoFilterRender;

/// A video filter renderer. Seven operations in this slot order, no data, no
/// virtual destructor. The meaning of the unnamed parameters is the host's.
struct SkwVideoFilterRender_Method {
  virtual bool kwAddVideoFilter(GUID* pFilterCLSID, unsigned int, unsigned int,
                                CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwApplyFilterBegin(unsigned int, unsigned int, CkwErrorInfo* pErrorInfo) = 0;
  /// Filters frame `nFrame` from `pSource` into `pTarget`.
  virtual bool kwApplyFilter(unsigned int nFrame, BITMAPINFOHEADER* pSource,
                             BITMAPINFOHEADER* pTarget, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwApplyFilterEnd(CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSetTimeBase(TimeBase eTimeBase, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSetTotalDuration(unsigned int nDuration, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwGetEffectDuration(unsigned int* pnDuration, CkwErrorInfo* pErrorInfo) = 0;
};

class KWCORE_API CkwVideoFilterRender : public CkwServiceObject,
                                        public SkwVideoFilterRender_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP()

      public :
      /// The only operation that can fail: kwGetEffectDuration refuses a null
      /// output pointer (code 2).
      enum : std::int32_t {
        kwMETHOD_GET_EFFECT_DURATION = 6
      };

  /// Copy the time base and the total duration.
  CkwVideoFilterRender(const CkwVideoFilterRender& other) noexcept = default;
  CkwVideoFilterRender& operator=(const CkwVideoFilterRender& other) noexcept = default;

  /// Accept anything, change nothing; pointers are neither read nor written.
  bool kwAddVideoFilter(GUID* pFilterCLSID, unsigned int, unsigned int,
                        CkwErrorInfo* pErrorInfo) override;
  bool kwApplyFilterBegin(unsigned int, unsigned int, CkwErrorInfo* pErrorInfo) override;
  bool kwApplyFilter(unsigned int nFrame, BITMAPINFOHEADER* pSource, BITMAPINFOHEADER* pTarget,
                     CkwErrorInfo* pErrorInfo) override;
  bool kwApplyFilterEnd(CkwErrorInfo* pErrorInfo) override;

  /// Stores any value, TIMEBASE_NONE included; nothing reads it back.
  bool kwSetTimeBase(TimeBase eTimeBase, CkwErrorInfo* pErrorInfo) override;
  bool kwSetTotalDuration(unsigned int nDuration, CkwErrorInfo* pErrorInfo) override;
  /// The total duration last set (0 on a new renderer).
  bool kwGetEffectDuration(unsigned int* pnDuration, CkwErrorInfo* pErrorInfo) override;

 protected:
  /// No time base chosen, total duration 0.
  CkwVideoFilterRender() noexcept = default;
  ~CkwVideoFilterRender() override;

 private:
  TimeBase m_eTimeBase = TIMEBASE_NONE;
  std::uint32_t m_nTotalDuration = 0;
};
