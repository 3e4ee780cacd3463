#include "platform/status.h"

#include <cerrno>
#include <cstdio>

// The settings registry's own failure codes are named here with the rest.
#include "platform/settings_registry.h"

namespace zel {

uint32_t Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return kWin32FileNotFound;
    case ENOTDIR:
      return kWin32PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kWin32AccessDenied;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kWin32SharingViolation;
    case EBADF:
      return kWin32InvalidHandle;
    case ENOMEM:
      return kWin32NotEnoughMemory;
    case EEXIST:
      return kWin32FileExists;
    case EINVAL:
      return kWin32InvalidParameter;
    case EPIPE:
      return kWin32BrokenPipe;
    case ENOSPC:
    case EDQUOT:
      return kWin32DiskFull;
    case ETIMEDOUT:
      return kWin32Timeout;
    case EIO:
      return 1117;  // ERROR_IO_DEVICE
    case EINTR:
      return 995;  // ERROR_OPERATION_ABORTED
    case ECONNREFUSED:
      return 1225;  // ERROR_CONNECTION_REFUSED
    case ENETUNREACH:
      return 1231;  // ERROR_NETWORK_UNREACHABLE
    case EHOSTUNREACH:
      return 1232;  // ERROR_HOST_UNREACHABLE
    case EADDRINUSE:
      return 10048;  // WSAEADDRINUSE
    case EMSGSIZE:
      return 10040;  // WSAEMSGSIZE
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

HRESULT HresultFromErrno(int err) { return HresultFromWin32(Win32ErrorFromErrno(err)); }

std::string StatusHex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string StatusName(HRESULT hr) {
  struct Entry {
    HRESULT hr;
    const char* name;
  };
  static constexpr Entry kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {E_NOTIMPL, "E_NOTIMPL"},
      {E_NOINTERFACE, "E_NOINTERFACE"},
      {E_POINTER, "E_POINTER"},
      {E_ABORT, "E_ABORT"},
      {E_FAIL, "E_FAIL"},
      {CO_E_NOT_SUPPORTED, "CO_E_NOT_SUPPORTED"},
      {E_UNEXPECTED, "E_UNEXPECTED"},
      {E_ACCESSDENIED, "E_ACCESSDENIED"},
      {E_HANDLE, "E_HANDLE"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {E_INVALIDARG, "E_INVALIDARG"},
      {E_TIMEOUT, "E_TIMEOUT"},
      {RPC_E_SERVERFAULT, "RPC_E_SERVERFAULT"},
      {RPC_E_DISCONNECTED, "RPC_E_DISCONNECTED"},
      {CO_E_SERVER_EXEC_FAILURE, "CO_E_SERVER_EXEC_FAILURE"},
      {E_SERVER_START_FAILED, "E_SERVER_START_FAILED"},
      {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
      {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
      {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
      {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
      {CONNECT_E_NOCONNECTION, "CONNECT_E_NOCONNECTION"},
      {CONNECT_E_ADVISELIMIT, "CONNECT_E_ADVISELIMIT"},
      {CONNECT_E_CANNOTCONNECT, "CONNECT_E_CANNOTCONNECT"},
      {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE"},
      {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
      {DISP_E_PARAMNOTFOUND, "DISP_E_PARAMNOTFOUND"},
      {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
      {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
      {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS"},
      {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE"},
      {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
      {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
      {DISP_E_BADINDEX, "DISP_E_BADINDEX"},
      {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
      {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL"},
      {DISP_E_DIVBYZERO, "DISP_E_DIVBYZERO"},
      {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
      {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND"},
      {STG_E_PATHNOTFOUND, "STG_E_PATHNOTFOUND"},
      {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED"},
      {STG_E_INVALIDHANDLE, "STG_E_INVALIDHANDLE"},
      {STG_E_INSUFFICIENTMEMORY, "STG_E_INSUFFICIENTMEMORY"},
      {STG_E_INVALIDPOINTER, "STG_E_INVALIDPOINTER"},
      {STG_E_WRITEFAULT, "STG_E_WRITEFAULT"},
      {STG_E_READFAULT, "STG_E_READFAULT"},
      {STG_E_SHAREVIOLATION, "STG_E_SHAREVIOLATION"},
      {STG_E_LOCKVIOLATION, "STG_E_LOCKVIOLATION"},
      {STG_E_FILEALREADYEXISTS, "STG_E_FILEALREADYEXISTS"},
      {STG_E_INVALIDPARAMETER, "STG_E_INVALIDPARAMETER"},
      {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL"},
      {STG_E_INVALIDHEADER, "STG_E_INVALIDHEADER"},
      {STG_E_INVALIDNAME, "STG_E_INVALIDNAME"},
      {STG_E_REVERTED, "STG_E_REVERTED"},
      {STG_E_DOCFILECORRUPT, "STG_E_DOCFILECORRUPT"},
      {E_REG_NOT_FOUND, "E_REG_NOT_FOUND"},
      {E_REG_CORRUPT, "E_REG_CORRUPT"},
      {E_REG_KEY_DELETED, "E_REG_KEY_DELETED"},
      {E_REG_UNSUPPORTED_TYPE, "E_REG_UNSUPPORTED_TYPE"},
      {E_MORE_DATA, "E_MORE_DATA"},
      {E_NO_MORE_ITEMS, "E_NO_MORE_ITEMS"},
      {E_SRV_UNKNOWN_MODEL, "E_SRV_UNKNOWN_MODEL"},
      {E_SRV_LOGIN_FAILED, "E_SRV_LOGIN_FAILED"},
      {E_SRV_LOGIN_DENIED, "E_SRV_LOGIN_DENIED"},
      {E_SRV_SESSION_EXPIRED, "E_SRV_SESSION_EXPIRED"},
      {E_SRV_SESSION_ACTIVE, "E_SRV_SESSION_ACTIVE"},
      {MakeHresult(0xC0000008), "E_SRV_SESSION_LIMIT"},  // server/client_sessions.h
      {E_COMM_KEY_SETUP_FAILED, "E_COMM_KEY_SETUP_FAILED"},
      {E_COMM_PORT_NOT_FOUND, "E_COMM_PORT_NOT_FOUND"},
      {E_COMM_SERVER_START_FAILED, "E_COMM_SERVER_START_FAILED"},
      {E_COMM_TIMEOUT, "E_COMM_TIMEOUT"},
      {E_COMM_PORT_ACCESS_DENIED, "E_COMM_PORT_ACCESS_DENIED"},
      {E_COMM_SHORT_READ, "E_COMM_SHORT_READ"},
      {E_COMM_SESSION_FAILED, "E_COMM_SESSION_FAILED"},
      {E_COMM_BAD_BAUD_RATE, "E_COMM_BAD_BAUD_RATE"},
  };
  for (const Entry& e : kNames) {
    if (e.hr == hr) return e.name;
  }
  return StatusHex(hr);
}

}  // namespace zel
