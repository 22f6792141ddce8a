// Windows base types and the error-reporting calls as the provider exports
// them on Linux x86-64: DWORD, ALG_ID and BOOL are 32-bit, handles and
// ULONG_PTR are 64-bit, WCHAR is the platform's 32-bit wchar_t.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
#define CAPI_EXTERN_C extern "C"
#else
#define CAPI_EXTERN_C
#endif

#ifndef WINAPI
#define WINAPI
#endif

#define CAPI_EXPORT __attribute__((visibility("default")))

typedef uint32_t DWORD;
typedef DWORD *PDWORD, *LPDWORD;
typedef int32_t BOOL;
typedef BOOL *PBOOL;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef BYTE *PBYTE, *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef void VOID;
typedef void *PVOID, *LPVOID, *HANDLE, *HMODULE, *HLOCAL;
typedef const void *LPCVOID;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR *PULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef LONG HRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// FormatMessage flags.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define LANG_USER_DEFAULT 0x0400
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))

// Win32 error codes used by the provider and the plug-in.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_ARITHMETIC_OVERFLOW 534L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_TIMEOUT 1460L
#define ERROR_INVALID_DATATYPE 1804L

#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)

#ifdef __cplusplus
extern "C" {
#endif

CAPI_EXPORT DWORD WINAPI GetLastError(void);
CAPI_EXPORT void WINAPI SetLastError(DWORD dwErrCode);
CAPI_EXPORT DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource,
                                        DWORD dwMessageId, DWORD dwLanguageId,
                                        LPSTR lpBuffer, DWORD nSize,
                                        va_list *Arguments);
CAPI_EXPORT DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource,
                                        DWORD dwMessageId, DWORD dwLanguageId,
                                        LPWSTR lpBuffer, DWORD nSize,
                                        va_list *Arguments);
CAPI_EXPORT HLOCAL WINAPI LocalAlloc(DWORD uFlags, size_t uBytes);
CAPI_EXPORT HLOCAL WINAPI LocalFree(HLOCAL hMem);

#ifdef __cplusplus
}
#endif

#define FormatMessage FormatMessageA
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
