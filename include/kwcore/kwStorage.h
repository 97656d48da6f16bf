// Structured storage: the COM interfaces IUnknown, ISequentialStream, IStream,
// IStorage and IEnumSTATSTG with their Windows method order, argument types
// and meanings, over compound files read and written by kwcore's own codec.
//
// Memory model. Opening a compound file reads it whole into an in-memory tree
// of storages and streams; the file on disk is closed again at once. Every
// change stays in memory until the root storage's Commit, which writes the
// whole tree to a new file in the same directory, flushes it, moves it over
// the target and flushes the directory: a failure or crash at any moment
// leaves either the old file or the new one on disk, never a mix. The new
// file has no name until it is moved into place where the file system allows
// it, so a crash leaves no temporary behind; elsewhere, temporaries of
// processes that died are removed the next time the file is opened for
// writing or committed (a live writer in another PID namespace or on another
// host keeps its own: it holds a lock on it). A failed Commit returns why and
// keeps the changes in memory. Releasing a root that holds changes without
// Commit leaves the file as it was and says so through the diagnostic
// callback (kwDiagnostics.h), naming the file; Revert drops uncommitted
// changes.
//
// Links. A symbolic link is followed when a root is opened for writing or
// created: Commit replaces the file that the link names, beside that file,
// and the link stays a link. Links are followed under the kernel's
// protected_symlinks rule, dangling ones too: another user's link in a sticky
// world-writable directory such as /tmp gives STG_E_ACCESSDENIED. A hard link
// cannot survive a Commit: the name the root was opened by gets a new file,
// and the other names of the old file keep the old content. The new file keeps the old one's
// permission bits and, as far as the process may set them, its owner and group (a process that is
// not privileged keeps the group where it belongs to it, and otherwise
// becomes the owner).
//
// Only regular files are opened, checked and replaced: a FIFO, a device or a
// socket is refused at once, never waited on.
//
// Sub-storages and streams are views on that tree. Commit and Revert on a
// sub-storage or a stream succeed and do nothing: only the root transacts.
// Elements opened from a root stay valid (reading and writing the tree) for as
// long as they are referenced, even after the root is released.
//
// Names are UTF-16 (OLECHAR = char16_t), 1 to 31 characters, never containing
// '/', '\\', ':' or '!'; lookups compare them as the format does (simple
// upper-case folding), so "Item" and "ITEM" name the same element.
//
// Threads: a tree (a root and everything opened from it) is used by one thread
// at a time; separate roots are independent.
//
// Share modes, priority mode and element times are accepted and ignored: the
// file is not held open, so there is nothing to lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include <kwcore/kwExport.h>
#include <kwcore/kwWinTypes.h>

// ---------------------------------------------------------------------------
// Types that cross the interfaces.

typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER;

/// 100-nanosecond intervals since 1601-01-01 UTC, split into two 32-bit halves.
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;

/// A list of element names ended by a null pointer ("string name block").
typedef LPOLESTR* SNB;

/// What Stat and IEnumSTATSTG::Next report about an element. `pwcsName` is
/// allocated with CoTaskMemAlloc and the caller frees it with CoTaskMemFree
/// (it is null when STATFLAG_NONAME was asked for).
typedef struct tagSTATSTG {
  LPOLESTR pwcsName;
  DWORD type;  ///< STGTY_STORAGE or STGTY_STREAM
  ULARGE_INTEGER cbSize;
  FILETIME mtime;
  FILETIME ctime;
  FILETIME atime;
  DWORD grfMode;
  DWORD grfLocksSupported;
  CLSID clsid;
  DWORD grfStateBits;
  DWORD reserved;
} STATSTG;

// Element types (STATSTG::type).
inline constexpr DWORD STGTY_STORAGE = 1;
inline constexpr DWORD STGTY_STREAM = 2;
inline constexpr DWORD STGTY_LOCKBYTES = 3;
inline constexpr DWORD STGTY_PROPERTY = 4;

// Seek origins (IStream::Seek).
inline constexpr DWORD STREAM_SEEK_SET = 0;
inline constexpr DWORD STREAM_SEEK_CUR = 1;
inline constexpr DWORD STREAM_SEEK_END = 2;

// Stat flags.
inline constexpr DWORD STATFLAG_DEFAULT = 0;
inline constexpr DWORD STATFLAG_NONAME = 1;
inline constexpr DWORD STATFLAG_NOOPEN = 2;

// Commit flags.
inline constexpr DWORD STGC_DEFAULT = 0;
inline constexpr DWORD STGC_OVERWRITE = 1;
inline constexpr DWORD STGC_ONLYIFCURRENT = 2;
inline constexpr DWORD STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE = 4;
inline constexpr DWORD STGC_CONSOLIDATE = 8;

// The LOCK_ types of IStream::LockRegion are not declared: glibc's <fcntl.h>
// defines LOCK_WRITE as a macro, and region locks are not supported anyway.

// Access modes (grfMode).
inline constexpr DWORD STGM_DIRECT = 0x00000000;
inline constexpr DWORD STGM_TRANSACTED = 0x00010000;
inline constexpr DWORD STGM_SIMPLE = 0x08000000;
inline constexpr DWORD STGM_READ = 0x00000000;
inline constexpr DWORD STGM_WRITE = 0x00000001;
inline constexpr DWORD STGM_READWRITE = 0x00000002;
inline constexpr DWORD STGM_SHARE_DENY_NONE = 0x00000040;
inline constexpr DWORD STGM_SHARE_DENY_READ = 0x00000030;
inline constexpr DWORD STGM_SHARE_DENY_WRITE = 0x00000020;
inline constexpr DWORD STGM_SHARE_EXCLUSIVE = 0x00000010;
inline constexpr DWORD STGM_PRIORITY = 0x00040000;
inline constexpr DWORD STGM_DELETEONRELEASE = 0x04000000;
inline constexpr DWORD STGM_NOSCRATCH = 0x00100000;
inline constexpr DWORD STGM_CREATE = 0x00001000;
inline constexpr DWORD STGM_CONVERT = 0x00020000;
inline constexpr DWORD STGM_FAILIFTHERE = 0x00000000;
inline constexpr DWORD STGM_NOSNAPSHOT = 0x00200000;
inline constexpr DWORD STGM_DIRECT_SWMR = 0x00400000;

// Storage results (facility 3).
inline constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002u);
inline constexpr HRESULT STG_E_PATHNOTFOUND = static_cast<HRESULT>(0x80030003u);
inline constexpr HRESULT STG_E_TOOMANYOPENFILES = static_cast<HRESULT>(0x80030004u);
inline constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005u);
inline constexpr HRESULT STG_E_INVALIDHANDLE = static_cast<HRESULT>(0x80030006u);
inline constexpr HRESULT STG_E_INSUFFICIENTMEMORY = static_cast<HRESULT>(0x80030008u);
inline constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009u);
inline constexpr HRESULT STG_E_NOMOREFILES = static_cast<HRESULT>(0x80030012u);
inline constexpr HRESULT STG_E_DISKISWRITEPROTECTED = static_cast<HRESULT>(0x80030013u);
inline constexpr HRESULT STG_E_SEEKERROR = static_cast<HRESULT>(0x80030019u);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);
inline constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
inline constexpr HRESULT STG_E_SHAREVIOLATION = static_cast<HRESULT>(0x80030020u);
inline constexpr HRESULT STG_E_LOCKVIOLATION = static_cast<HRESULT>(0x80030021u);
inline constexpr HRESULT STG_E_FILEALREADYEXISTS = static_cast<HRESULT>(0x80030050u);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057u);
inline constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070u);
inline constexpr HRESULT STG_E_PROPSETMISMATCHED = static_cast<HRESULT>(0x800300F0u);
inline constexpr HRESULT STG_E_ABNORMALAPIEXIT = static_cast<HRESULT>(0x800300FAu);
inline constexpr HRESULT STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FBu);
inline constexpr HRESULT STG_E_INVALIDNAME = static_cast<HRESULT>(0x800300FCu);
inline constexpr HRESULT STG_E_UNKNOWN = static_cast<HRESULT>(0x800300FDu);
inline constexpr HRESULT STG_E_UNIMPLEMENTEDFUNCTION = static_cast<HRESULT>(0x800300FEu);
inline constexpr HRESULT STG_E_INVALIDFLAG = static_cast<HRESULT>(0x800300FFu);
inline constexpr HRESULT STG_E_INUSE = static_cast<HRESULT>(0x80030100u);
inline constexpr HRESULT STG_E_NOTCURRENT = static_cast<HRESULT>(0x80030101u);
inline constexpr HRESULT STG_E_REVERTED = static_cast<HRESULT>(0x80030102u);
inline constexpr HRESULT STG_E_CANTSAVE = static_cast<HRESULT>(0x80030103u);
inline constexpr HRESULT STG_E_OLDFORMAT = static_cast<HRESULT>(0x80030104u);
inline constexpr HRESULT STG_E_OLDDLL = static_cast<HRESULT>(0x80030105u);
inline constexpr HRESULT STG_E_SHAREREQUIRED = static_cast<HRESULT>(0x80030106u);
inline constexpr HRESULT STG_E_NOTFILEBASEDSTORAGE = static_cast<HRESULT>(0x80030107u);
inline constexpr HRESULT STG_E_EXTANTMARSHALLINGS = static_cast<HRESULT>(0x80030108u);
inline constexpr HRESULT STG_E_DOCFILECORRUPT = static_cast<HRESULT>(0x80030109u);
inline constexpr HRESULT STG_E_BADBASEADDRESS = static_cast<HRESULT>(0x80030110u);
inline constexpr HRESULT STG_E_DOCFILETOOLARGE = static_cast<HRESULT>(0x80030111u);
inline constexpr HRESULT STG_E_NOTSIMPLEFORMAT = static_cast<HRESULT>(0x80030112u);
inline constexpr HRESULT STG_E_INCOMPLETE = static_cast<HRESULT>(0x80030201u);
inline constexpr HRESULT STG_E_TERMINATED = static_cast<HRESULT>(0x80030202u);
inline constexpr HRESULT STG_S_CONVERTED = static_cast<HRESULT>(0x00030200u);
inline constexpr HRESULT STG_S_BLOCK = static_cast<HRESULT>(0x00030201u);
inline constexpr HRESULT STG_S_RETRYNOW = static_cast<HRESULT>(0x00030202u);
inline constexpr HRESULT STG_S_MONITORING = static_cast<HRESULT>(0x00030203u);
inline constexpr HRESULT STG_S_MULTIPLEOPENS = static_cast<HRESULT>(0x00030204u);
inline constexpr HRESULT STG_S_CONSOLIDATIONFAILED = static_cast<HRESULT>(0x00030205u);
inline constexpr HRESULT STG_S_CANNOTCONSOLIDATE = static_cast<HRESULT>(0x00030206u);

// Interface identifiers.
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ISequentialStream = {
    0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr IID IID_IStream = {
    0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IStorage = {
    0x0000000B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IEnumSTATSTG = {
    0x0000000D, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// ---------------------------------------------------------------------------
// Interfaces. Objects are reference counted: every pointer handed out carries
// one reference, which its receiver gives back with Release. Out-pointers are
// set to null on failure. Methods never throw.

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct ISequentialStream : IUnknown {
  /// Reads up to `cb` bytes at the seek pointer; S_OK also when fewer remain
  /// (`*pcbRead` says how many, 0 at the end).
  virtual HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  /// Writes `cb` bytes at the seek pointer, growing the stream as needed.
  virtual HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) = 0;

 protected:
  ~ISequentialStream() = default;
};

struct IStream : ISequentialStream {
  /// Moves the seek pointer; a position before 0 is STG_E_INVALIDFUNCTION.
  /// Positions past the end are allowed; a write there fills the gap with zeros.
  virtual HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) = 0;
  /// Truncates or zero-extends the stream; the seek pointer is unchanged.
  virtual HRESULT SetSize(ULARGE_INTEGER libNewSize) = 0;
  virtual HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                         ULARGE_INTEGER* pcbWritten) = 0;
  /// Streams live in their root's tree: Commit and Revert here do nothing.
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  virtual HRESULT Revert() = 0;
  virtual HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;
  /// A second stream object on the same data with its own seek pointer
  /// (starting where this one is).
  virtual HRESULT Clone(IStream** ppstm) = 0;

 protected:
  ~IStream() = default;
};

struct IEnumSTATSTG : IUnknown {
  /// Fills up to `celt` records; S_FALSE when fewer than `celt` remained.
  virtual HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) = 0;
  virtual HRESULT Skip(ULONG celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumSTATSTG** ppenum) = 0;

 protected:
  ~IEnumSTATSTG() = default;
};

struct IStorage : IUnknown {
  /// Creates a stream. An element of that name is replaced with STGM_CREATE
  /// and is STG_E_FILEALREADYEXISTS without it.
  virtual HRESULT CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                               DWORD reserved2, IStream** ppstm) = 0;
  /// Opens an existing stream, positioned at its start.
  virtual HRESULT OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode,
                             DWORD reserved2, IStream** ppstm) = 0;
  /// Creates a child storage; STGM_CREATE as for CreateStream.
  virtual HRESULT CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                                DWORD reserved2, IStorage** ppstg) = 0;
  virtual HRESULT OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                              SNB snbExclude, DWORD reserved, IStorage** ppstg) = 0;
  virtual HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                         IStorage* pstgDest) = 0;
  virtual HRESULT MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest,
                                const OLECHAR* pwcsNewName, DWORD grfFlags) = 0;
  /// On the root of a file: writes the whole tree and atomically replaces the
  /// file. On a memory root: makes the current tree the one Revert returns
  /// to. On a sub-storage: nothing.
  virtual HRESULT Commit(DWORD grfCommitFlags) = 0;
  /// On a root: drops every change since the last Commit (or the open).
  /// Elements opened before then report STG_E_REVERTED afterwards.
  virtual HRESULT Revert() = 0;
  virtual HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                               IEnumSTATSTG** ppenum) = 0;
  virtual HRESULT DestroyElement(const OLECHAR* pwcsName) = 0;
  virtual HRESULT RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) = 0;
  virtual HRESULT SetElementTimes(const OLECHAR* pwcsName, const FILETIME* pctime,
                                  const FILETIME* patime, const FILETIME* pmtime) = 0;
  virtual HRESULT SetClass(REFCLSID clsid) = 0;
  virtual HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) = 0;
  virtual HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) = 0;

 protected:
  ~IStorage() = default;
};

// ---------------------------------------------------------------------------
// Entry points. Paths are file-system bytes, passed to the system unchanged.

/// Creates a new compound file at `pszPath`, replacing any file there (as if
/// STGM_CREATE were always given), and returns its root storage, which is
/// read-write whatever the access bits of `grfMode`. Where there is no file
/// yet, the empty one is written at once, atomically. An existing file is
/// left untouched until the first Commit, which replaces it atomically as
/// every Commit does: a crash or a forgotten Commit keeps the last good save,
/// and Revert before then returns to the empty root. Either way a bad path
/// fails here (STG_E_PATHNOTFOUND, STG_E_ACCESSDENIED...), and so does a
/// path naming a directory, a FIFO or a device (STG_E_ACCESSDENIED), which
/// stays as it is. `reserved` must be 0.
KWPLATFORM_API HRESULT StgCreateDocfile(const char* pszPath, DWORD grfMode, DWORD reserved,
                                        IStorage** ppstgOpen);

/// Opens an existing compound file. With STGM_READ (0) the root refuses every
/// change with STG_E_ACCESSDENIED; with STGM_WRITE or STGM_READWRITE changes
/// are kept in memory until Commit. `pstgPriority` and `snbExclude` must be
/// null and `reserved` 0. A missing file is STG_E_FILENOTFOUND, a file that is
/// not a compound file STG_E_INVALIDHEADER, a damaged one STG_E_DOCFILECORRUPT,
/// a directory STG_E_ACCESSDENIED; a FIFO or a device is not read and is
/// STG_E_INVALIDHEADER.
KWPLATFORM_API HRESULT StgOpenStorage(const char* pszPath, IStorage* pstgPriority, DWORD grfMode,
                                      SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);

/// Creates an empty root storage that lives in memory only (no file).
/// Commit marks a point that Revert returns to.
KWPLATFORM_API HRESULT StgCreateMemoryDocfile(DWORD grfMode, IStorage** ppstgOpen);

/// Opens `cb` bytes of compound-file image as a memory root, with the checks
/// and results of StgOpenStorage. The bytes are copied; the caller keeps them.
KWPLATFORM_API HRESULT StgOpenMemoryDocfile(const void* pv, std::size_t cb, DWORD grfMode,
                                            IStorage** ppstgOpen);

/// Writes the compound-file image of the tree under `pstg` (a storage made by
/// this library) into a buffer from CoTaskMemAlloc; the caller frees `*ppv`.
KWPLATFORM_API HRESULT StgSaveToMemory(IStorage* pstg, void** ppv, std::size_t* pcb);

/// S_OK when the file at `pszPath` starts with the compound-file signature,
/// S_FALSE when it does not or is not a regular file (which is not read),
/// STG_E_FILENOTFOUND when it cannot be opened.
KWPLATFORM_API HRESULT StgIsStorageFile(const char* pszPath);

/// The task allocator that STATSTG names and StgSaveToMemory buffers come from.
KWPLATFORM_API void* CoTaskMemAlloc(std::size_t cb);
KWPLATFORM_API void CoTaskMemFree(void* pv);

// ---------------------------------------------------------------------------
// Checking a file.

/// Receives one problem that kwCheckCompoundFile found: `offset` is the byte
/// offset in the file where it lies, UINT64_MAX when no single place holds
/// it; `pszProblem` is one line of text, valid during the call only.
typedef void (*kwCheckCallback)(void* pContext, std::uint64_t offset, const char* pszProblem);
/// Reads the whole compound file at `pszPath` with every structural check the
/// reader has and reports each problem found through `pfnProblem` (may be
/// null). S_OK clean; STG_E_DOCFILECORRUPT damaged (problems reported, offset
/// UINT64_MAX when no single place); STG_E_FILENOTFOUND / STG_E_ACCESSDENIED /
/// STG_E_INVALIDHEADER unreadable (anything but a regular file is refused at once,
/// without blocking). Never throws.
KWPLATFORM_API HRESULT kwCheckCompoundFile(const char* pszPath, kwCheckCallback pfnProblem,
                                           void* pContext) noexcept;
