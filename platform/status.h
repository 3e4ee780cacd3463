// 32-bit status codes of the automation runtime and of this server.
//
// Every automation operation returns an HRESULT: negative (high bit set) on failure, 0 or a
// small positive value on success. The numeric values are part of the external contract:
// clients, scripts and logs compare them, so each named code below carries its exact value.
//
// Thread contract: everything here is stateless and may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zel {

using HRESULT = int32_t;

constexpr HRESULT MakeHresult(uint32_t bits) { return static_cast<HRESULT>(bits); }
constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Generic success and failure codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT CO_E_NOT_SUPPORTED = MakeHresult(0x80004021);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
inline constexpr HRESULT E_HANDLE = MakeHresult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
// The operating system's time-out (error 1460) as a status code.
inline constexpr HRESULT E_TIMEOUT = MakeHresult(0x800705B4);
inline constexpr HRESULT RPC_E_SERVERFAULT = MakeHresult(0x80010105);
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHresult(0x80010108);
inline constexpr HRESULT CO_E_SERVER_EXEC_FAILURE = MakeHresult(0x80080005);
inline constexpr HRESULT E_SERVER_START_FAILED = MakeHresult(0x8001011F);

// Class objects and the class registry.
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
inline constexpr HRESULT CO_E_CLASSSTRING = MakeHresult(0x800401F3);

// Connection points.
inline constexpr HRESULT CONNECT_E_NOCONNECTION = MakeHresult(0x80040200);
inline constexpr HRESULT CONNECT_E_ADVISELIMIT = MakeHresult(0x80040201);
inline constexpr HRESULT CONNECT_E_CANNOTCONNECT = MakeHresult(0x80040202);

// Dispatch and variant conversion.
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHresult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHresult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHresult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHresult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = MakeHresult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = MakeHresult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = MakeHresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = MakeHresult(0x8002000B);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHresult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHresult(0x8002000F);
inline constexpr HRESULT DISP_E_DIVBYZERO = MakeHresult(0x80020012);

// Structured storage.
inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHresult(0x80030001);
inline constexpr HRESULT STG_E_FILENOTFOUND = MakeHresult(0x80030002);
inline constexpr HRESULT STG_E_PATHNOTFOUND = MakeHresult(0x80030003);
inline constexpr HRESULT STG_E_ACCESSDENIED = MakeHresult(0x80030005);
inline constexpr HRESULT STG_E_INVALIDHANDLE = MakeHresult(0x80030006);
inline constexpr HRESULT STG_E_INSUFFICIENTMEMORY = MakeHresult(0x80030008);
inline constexpr HRESULT STG_E_INVALIDPOINTER = MakeHresult(0x80030009);
inline constexpr HRESULT STG_E_WRITEFAULT = MakeHresult(0x8003001D);
inline constexpr HRESULT STG_E_READFAULT = MakeHresult(0x8003001E);
inline constexpr HRESULT STG_E_SHAREVIOLATION = MakeHresult(0x80030020);
inline constexpr HRESULT STG_E_LOCKVIOLATION = MakeHresult(0x80030021);
inline constexpr HRESULT STG_E_FILEALREADYEXISTS = MakeHresult(0x80030050);
inline constexpr HRESULT STG_E_INVALIDPARAMETER = MakeHresult(0x80030057);
inline constexpr HRESULT STG_E_MEDIUMFULL = MakeHresult(0x80030070);
inline constexpr HRESULT STG_E_INVALIDHEADER = MakeHresult(0x800300FB);
inline constexpr HRESULT STG_E_INVALIDNAME = MakeHresult(0x800300FC);
inline constexpr HRESULT STG_E_REVERTED = MakeHresult(0x80030102);
inline constexpr HRESULT STG_E_DOCFILECORRUPT = MakeHresult(0x80030109);

// Registry-style failures (as system errors): missing key or value, buffer too small.
inline constexpr HRESULT E_REG_NOT_FOUND = MakeHresult(0x80070002);
inline constexpr HRESULT E_MORE_DATA = MakeHresult(0x800700EA);
inline constexpr HRESULT E_NO_MORE_ITEMS = MakeHresult(0x80070103);

// This server's own codes.
inline constexpr HRESULT E_SRV_UNKNOWN_MODEL = MakeHresult(0xC0000003);
inline constexpr HRESULT E_SRV_LOGIN_FAILED = MakeHresult(0xC0000004);
inline constexpr HRESULT E_SRV_LOGIN_DENIED = MakeHresult(0xC0000005);
inline constexpr HRESULT E_SRV_SESSION_EXPIRED = MakeHresult(0xC0000006);
inline constexpr HRESULT E_SRV_SESSION_ACTIVE = MakeHresult(0xC0000007);
inline constexpr HRESULT E_COMM_KEY_SETUP_FAILED = MakeHresult(0xC00000FF);
inline constexpr HRESULT E_COMM_PORT_NOT_FOUND = MakeHresult(0xC0030001);
inline constexpr HRESULT E_COMM_SERVER_START_FAILED = MakeHresult(0xC0030002);
inline constexpr HRESULT E_COMM_TIMEOUT = MakeHresult(0xC0030008);
inline constexpr HRESULT E_COMM_PORT_ACCESS_DENIED = MakeHresult(0xC0030009);
inline constexpr HRESULT E_COMM_SHORT_READ = MakeHresult(0xC003000A);
inline constexpr HRESULT E_COMM_SESSION_FAILED = MakeHresult(0xC003000C);
// A serial line speed this platform cannot set (no termios speed for it, or 0).
inline constexpr HRESULT E_COMM_BAD_BAUD_RATE = MakeHresult(0xC0030010);

// Event-log message ids reported by the service host (severity in the top bits).
inline constexpr uint32_t MSG_SERVICE_STARTED = 0x00020064;
inline constexpr uint32_t MSG_SERVICE_FAILED = 0xC0020066;
inline constexpr uint32_t MSG_RESOURCES_MISSING = 0xC0020067;
// Warning: an unreadable local store was set aside and a new one made.
inline constexpr uint32_t MSG_STORE_SET_ASIDE = 0x80020068;

// Windows error numbers that the system's codes are built from.
inline constexpr uint32_t kWin32FileNotFound = 2;
inline constexpr uint32_t kWin32PathNotFound = 3;
inline constexpr uint32_t kWin32AccessDenied = 5;
inline constexpr uint32_t kWin32InvalidHandle = 6;
inline constexpr uint32_t kWin32NotEnoughMemory = 8;
inline constexpr uint32_t kWin32OutOfMemory = 14;
inline constexpr uint32_t kWin32SharingViolation = 32;
inline constexpr uint32_t kWin32FileExists = 80;
inline constexpr uint32_t kWin32InvalidParameter = 87;
inline constexpr uint32_t kWin32BrokenPipe = 109;
inline constexpr uint32_t kWin32DiskFull = 112;
inline constexpr uint32_t kWin32MoreData = 234;
inline constexpr uint32_t kWin32NoMoreItems = 259;
inline constexpr uint32_t kWin32Timeout = 1460;

// 0x80070000 | low 16 bits of a Windows error number; 0 stays S_OK.
constexpr HRESULT HresultFromWin32(uint32_t error) {
  return error == 0 ? S_OK : MakeHresult(0x80070000u | (error & 0xFFFFu));
}

// Maps a POSIX errno to the Windows error number with the same meaning (ENOENT -> 2,
// EACCES/EPERM -> 5, ETIMEDOUT -> 1460, ...). Unknown errnos map to the generic failure 31.
uint32_t Win32ErrorFromErrno(int err);

// HresultFromWin32(Win32ErrorFromErrno(err)).
HRESULT HresultFromErrno(int err);

// The code's symbolic name ("E_FAIL", "E_COMM_TIMEOUT"), or its 8-digit hex form.
std::string StatusName(HRESULT hr);

// "0x80004005": the form logs and the client bridge use.
std::string StatusHex(HRESULT hr);

}  // namespace zel

// Evaluates an HRESULT expression and returns it from the enclosing function when it failed.
#define ZEL_TRY(expr)                                   \
  do {                                                  \
    ::zel::HRESULT zel_try_hr_ = (expr);                \
    if (::zel::Failed(zel_try_hr_)) return zel_try_hr_; \
  } while (0)
