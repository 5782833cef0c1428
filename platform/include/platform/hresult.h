// Result codes of the compound-file layer and system error numbers.
//
// The workbook code classifies failures by the structured-storage result codes
// and by Win32 system error numbers, on every system. On Windows the names come
// from the system headers; elsewhere they are defined here with the same values.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winerror.h>
// As windows.h declares it, without bringing all of windows.h in here.
#ifndef _HRESULT_DEFINED
#define _HRESULT_DEFINED
typedef long HRESULT;
#endif
#else
using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002u);
inline constexpr HRESULT STG_E_PATHNOTFOUND = static_cast<HRESULT>(0x80030003u);
inline constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005u);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
inline constexpr HRESULT STG_E_SHAREVIOLATION = static_cast<HRESULT>(0x80030020u);
inline constexpr HRESULT STG_E_FILEALREADYEXISTS = static_cast<HRESULT>(0x80030050u);
inline constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009u);
inline constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);
inline constexpr HRESULT STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FBu);
inline constexpr HRESULT STG_E_INVALIDNAME = static_cast<HRESULT>(0x800300FCu);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057u);
inline constexpr HRESULT STG_E_DOCFILECORRUPT = static_cast<HRESULT>(0x80030109u);
#endif

namespace platform {

// Win32 system error numbers (GetLastError values), used on every system.
using Win32Error = std::uint32_t;

inline constexpr Win32Error kErrorSuccess = 0;
inline constexpr Win32Error kErrorFileNotFound = 2;
inline constexpr Win32Error kErrorPathNotFound = 3;
inline constexpr Win32Error kErrorTooManyOpenFiles = 4;
inline constexpr Win32Error kErrorAccessDenied = 5;
inline constexpr Win32Error kErrorInvalidHandle = 6;
inline constexpr Win32Error kErrorNotEnoughMemory = 8;
inline constexpr Win32Error kErrorNotSameDevice = 17;
inline constexpr Win32Error kErrorWriteProtect = 19;
inline constexpr Win32Error kErrorGenFailure = 31;
inline constexpr Win32Error kErrorSharingViolation = 32;
inline constexpr Win32Error kErrorNotSupported = 50;
inline constexpr Win32Error kErrorFileExists = 80;
inline constexpr Win32Error kErrorInvalidParameter = 87;
inline constexpr Win32Error kErrorDiskFull = 112;
inline constexpr Win32Error kErrorFilenameExcedRange = 206;
inline constexpr Win32Error kErrorFileTooLarge = 223;
inline constexpr Win32Error kErrorIoDevice = 1117;
inline constexpr Win32Error kErrorCantResolveFilename = 1921;

inline bool Failed(HRESULT hr) { return hr < 0; }

// A system error number as an HRESULT: zero or negative numbers stay as they
// are; a positive number n becomes (n AND 0xFFFF) OR 0x80070000.
inline HRESULT HResultFromSystemError(std::int64_t n) {
  if (n <= 0) return static_cast<HRESULT>(n);
  return static_cast<HRESULT>((static_cast<std::uint32_t>(n) & 0xFFFFu) | 0x80070000u);
}

// The other way: the Win32 error inside a converted system error.
// STG_E_WRITEFAULT (a write the system took no byte of) is an I/O error, any
// other code a general failure.
inline Win32Error Win32ErrorFromHResult(HRESULT hr) {
  const auto code = static_cast<std::uint32_t>(hr);
  if ((code & 0xFFFF0000u) == 0x80070000u) return code & 0xFFFFu;
  return hr == STG_E_WRITEFAULT ? kErrorIoDevice : kErrorGenFailure;
}

// The system's text for a Win32 error number, exactly as the system gives it
// (on Windows with its trailing line end). Returns false when there is none.
bool SystemMessageText(Win32Error code, std::wstring& text);

#ifndef _WIN32
// The Win32 error number for an errno value. `path` (native bytes) tells a
// missing file (2) from a missing folder on its path (3) for ENOENT.
Win32Error Win32ErrorFromErrno(int err, const std::string& path = std::string());
#endif

}  // namespace platform
