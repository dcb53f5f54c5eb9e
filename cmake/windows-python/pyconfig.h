/* CPython's configuration for 64-bit Windows, for building extensions with mingw-w64 GCC
 * against the official CPython 3.13 (python313.dll). CPython ships its pyconfig.h only with
 * the Windows installer; this is the subset its public headers read, with the values of
 * that build (MSVC, x64, release, GIL). tests/windows/abi_check.py checks the sizes below
 * against the running interpreter. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__GNUC__)
#error "this pyconfig.h is for GCC (mingw-w64) targeting 64-bit Windows"
#endif

#define NT_THREADS
#define WITH_THREAD
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define PY_SSIZE_T_CLEAN
#define WORD_BIT 32

/* The type sizes of the LLP64 model, as the interpreter was built with them. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_SHORT 2
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY SIZEOF_VOID_P
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_LARGEFILE_SUPPORT
#define HAVE_WCHAR_H 1
#define HAVE_SYS_UTIME_H 1
#define HAVE_STDDEF_H 1
#define HAVE_DIRECT_H 1
#define HAVE_PROCESS_H 1
#define HAVE_IO_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define PLATFORM "win32"
#define COMPILER "[GCC]"
#define PY_SUPPORT_TIER 1

/* Link python313.dll: given on the command line, not through MSVC's #pragma comment(lib). */

#endif /* !Py_CONFIG_H */
