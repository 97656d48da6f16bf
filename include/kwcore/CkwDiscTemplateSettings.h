// CkwDiscTemplateSettings: the settings of a disc template, a value class
// that the authoring application creates, copies, assigns and destroys
// directly. It holds a disc format, its own copy of one encoder-settings
// record (a SAVEDATA of Nubra, 444 opaque bytes) and a VCD compliant mode
// switch. It never looks inside the record except to see whether it is
// empty, and it clears and copies it only through Nubra.
//
// Errors: every kw method, and the assignment in its local record, stamps the
// source GUID {DCC94BD0-9928-4F3F-9848-6EE9EF617596}; the method numbers are
// declared with the class. Failures are severity 2 in the general category.
//
// Thread safety: none; one thread at a time. Nubra is called on the caller's
// thread.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/Nubra.h>
#include <kwcore/kwExport.h>

/// The scope of the disc format enumeration.
struct CkwDiscFormat {
  /// What kind of disc a template authors. Stored as a signed 32-bit value;
  /// kwSetDiscFormat refuses only values above kwDISC_FORMAT_LAST, so values
  /// below 0 pass through unchanged (the application may use them, for
  /// example -1 for "not chosen yet").
  enum kwDiscFormat : std::int32_t {
    /// DVD-Video on a single-layer DVD (4.7 GB): VIDEO_TS with MPEG-2 video.
    kwDISC_FORMAT_DVD = 0,
    /// DVD-Video on a dual-layer DVD (DVD-9, 8.5 GB).
    kwDISC_FORMAT_DVD_DUAL_LAYER = 1,
    /// Video CD: MPEG-1 video at VCD resolution on a CD.
    kwDISC_FORMAT_VCD = 2,
    /// Super Video CD: MPEG-2 video at SVCD resolution on a CD.
    kwDISC_FORMAT_SVCD = 3,
    /// mini-DVD: the DVD-Video structure written to a CD.
    kwDISC_FORMAT_MINI_DVD = 4,
    /// AVCHD: high-definition H.264 video in the AVCHD structure on a DVD.
    kwDISC_FORMAT_AVCHD = 5,
    /// Blu-ray Disc (BDMV structure).
    kwDISC_FORMAT_BLU_RAY = 6,
    /// The largest value kwSetDiscFormat accepts.
    kwDISC_FORMAT_LAST = kwDISC_FORMAT_BLU_RAY,
  };
};

class KWCORE_API CkwDiscTemplateSettings {
 public:
  /// Method numbers in error records (kwEnableVCDCompliantMode never fails,
  /// so it has none).
  enum : std::int32_t {
    kwMETHOD_SET_DISC_FORMAT = 0,
    kwMETHOD_GET_DISC_FORMAT = 1,
    kwMETHOD_SET_VIO_SAVE_DATA = 2,
    kwMETHOD_GET_VIO_SAVE_DATA = 3,
    /// Copy assignment, and copy construction, which reports as it.
    kwMETHOD_ASSIGN = 4,
    kwMETHOD_IS_VCD_COMPLIANT_MODE_ENABLED = 6,
  };

  /// Disc format 0 (DVD), no encoder-settings record, VCD compliant mode on.
  CkwDiscTemplateSettings() noexcept = default;

  /// Takes the source's disc format and mode and gives the new object its own
  /// copy of the source's record, made as the assignment makes it (a source
  /// record whose bytes 4 to 443 are zero gives an all-zero record without a
  /// copy). A failure (code 1 or 23, method 4) is reported to the global error
  /// manager and leaves the new object without a record.
  CkwDiscTemplateSettings(const CkwDiscTemplateSettings& source);

  /// Copies `source`'s settings into this object and returns it. The source is
  /// read through its own operations, hence the non-constant reference. This
  /// object's old record is always released (cleared, then freed) and, when
  /// the source has one, replaced by a new copy: a source record whose bytes 4
  /// to 443 are zero gives an all-zero record without a copy; otherwise
  /// gfnCopySAVEDATA copies it.
  ///
  /// Failures go to the global error manager (nothing when it is switched
  /// off), with method number 4:
  ///   code 1  no memory for the new record;
  ///   code 23 gfnCopySAVEDATA failed;
  ///   code 22 clearing this object's old record failed. The assignment then
  ///           stops before anything changes: the old record stays held (in
  ///           whatever state the clear left it), with the old format and
  ///           mode. Reported like the same failure in kwSetVIOSaveData, so
  ///           that the host learns why nothing was assigned.
  /// After a code 1 or 23 failure this object keeps its old format and mode
  /// and holds no record. Assigning an object to itself changes nothing.
  CkwDiscTemplateSettings& operator=(CkwDiscTemplateSettings& source);

  /// Clears the record (if any) with gfnClearVIO_SAVEDATA, then frees it.
  virtual ~CkwDiscTemplateSettings();

  /// Stores `eFormat`. A value above kwDISC_FORMAT_LAST is code 10 and keeps
  /// the old format; any other value, negative ones included, is stored.
  bool kwSetDiscFormat(CkwDiscFormat::kwDiscFormat eFormat, CkwErrorInfo* pErrorInfo);

  /// Stores the disc format in `*peFormat`. Null `peFormat`: code 2.
  bool kwGetDiscFormat(CkwDiscFormat::kwDiscFormat* peFormat, CkwErrorInfo* pErrorInfo) const;

  /// Makes this object's record a copy of `*pSaveData`. A held record is
  /// cleared and reused; otherwise a zero-filled one is allocated. A record
  /// whose 444 bytes are all zero is not copied: the object keeps its zero
  /// record. Passing the object's own record (from kwGetVIOSaveData) leaves
  /// it as it is.
  ///   null `pSaveData`: code 2;
  ///   gfnClearVIO_SAVEDATA failed on the held record: code 22, that record
  ///     stays held in whatever state the clear left it;
  ///   no memory for a new record: code 1;
  ///   gfnCopySAVEDATA failed: code 23, and the object has no record left.
  bool kwSetVIOSaveData(const SAVEDATA* pSaveData, CkwErrorInfo* pErrorInfo);

  /// Stores in `*ppSaveData` the object's own record, or null when it has
  /// none. The caller may use the record in place but must not free it; it
  /// stays valid until a copy in kwSetVIOSaveData fails, another object is
  /// assigned to this one, or this object is destroyed. Null `ppSaveData`:
  /// code 2.
  bool kwGetVIOSaveData(SAVEDATA** ppSaveData, CkwErrorInfo* pErrorInfo);

  /// Switches VCD compliant mode on or off; never fails.
  bool kwEnableVCDCompliantMode(bool bEnable, CkwErrorInfo* pErrorInfo);

  /// Stores the VCD compliant mode in `*pbEnabled`. Null `pbEnabled`: code 2.
  bool kwIsVCDCompliantModeEnabled(bool* pbEnabled, CkwErrorInfo* pErrorInfo) const;

 private:
  CkwDiscFormat::kwDiscFormat m_eDiscFormat = CkwDiscFormat::kwDISC_FORMAT_DVD;
  SAVEDATA* m_pSaveData = nullptr;  ///< owned; 444 bytes, or none
  bool m_bVCDCompliantMode = true;
};
