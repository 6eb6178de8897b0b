// The operating-system and runtime calls the launcher makes, declared by hand.
//
// On Windows these are the real KERNEL32, USER32 and msvcrt entry points:
// the declarations below match their ANSI signatures, calling conventions and
// record layouts, and the import libraries of mingw-w64 resolve them. Nothing
// else is linked in, so the program runs on a bare Windows.
//
// On Linux the same names are provided by src/system/posix/, a small
// implementation with exactly the behaviour the launcher relies on. There the
// declarations live in namespace zaqsys (brought in with a using-directive) so
// that they never collide with the C library's own getenv, fopen and friends.
//
// Only what the launcher uses is declared; every value is the platform's.

#ifndef ZAQSETUP_SYSTEM_SYSTEM_H_
#define ZAQSETUP_SYSTEM_SYSTEM_H_

#if defined(_WIN32)
#define ZAQSYS_BEGIN extern "C" {
#define ZAQSYS_END }
#define SYSIMPORT __declspec(dllimport)
#define WINAPI __stdcall
#define CRTAPI __cdecl
#define SYSNORETURN __declspec(noreturn)
#else
#define ZAQSYS_BEGIN namespace zaqsys {
#define ZAQSYS_END }
#define SYSIMPORT
#define WINAPI
#define CRTAPI
#define SYSNORETURN [[noreturn]]
#endif

ZAQSYS_BEGIN

// ---- Basic types (ILP32 on win32, LLP64 on win64; the Linux layer uses the
// same widths for the 32-bit types).
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned int DWORD;
typedef unsigned short ATOM;
typedef decltype(sizeof 0) SIZE_T;
#if defined(_WIN64) || defined(__LP64__)
typedef long long INT_PTR_T;
typedef unsigned long long UINT_PTR_T;
#else
typedef int INT_PTR_T;
typedef unsigned int UINT_PTR_T;
#endif
typedef UINT_PTR_T WPARAM;
typedef INT_PTR_T LPARAM;
typedef INT_PTR_T LRESULT;

typedef struct HANDLE__ *HANDLE;
typedef struct HINSTANCE__ *HMODULE;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HWND__ *HWND;
typedef struct HICON__ *HICON;
typedef struct HICON__ *HCURSOR;  // the platform treats cursors as icons
typedef struct HBRUSH__ *HBRUSH;

// ---- KERNEL32
const DWORD MAX_PATH = 260;
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(void *parameter);

SYSIMPORT DWORD WINAPI GetCurrentThreadId(void);
SYSIMPORT HANDLE WINAPI CreateThread(void *security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                     void *parameter, DWORD flags, DWORD *threadId);
SYSIMPORT void WINAPI Sleep(DWORD milliseconds);
SYSIMPORT BOOL WINAPI SetCurrentDirectoryA(const char *path);
SYSIMPORT DWORD WINAPI GetCurrentDirectoryA(DWORD size, char *buffer);

// A procedure looked up by name; cast to its real type before the call.
typedef void(WINAPI *FARPROC)(void);
const DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;
SYSIMPORT HMODULE WINAPI GetModuleHandleA(const char *name);
SYSIMPORT FARPROC WINAPI GetProcAddress(HMODULE module, const char *name);

// ---- USER32
const UINT WM_QUIT = 0x0012;
const UINT WM_USER = 0x0400;
const UINT CS_VREDRAW = 0x0001;
const UINT CS_HREDRAW = 0x0002;
const int COLOR_WINDOW = 5;
const UINT MB_OK = 0x00000000;
const UINT MB_ICONWARNING = 0x00000030;
const UINT MB_TOPMOST = 0x00040000;

typedef LRESULT(WINAPI *WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct POINT {
  int x;
  int y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

struct WNDCLASSEXA {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  const char *lpszMenuName;
  const char *lpszClassName;
  HICON hIconSm;
};

// A resource identifier in place of a name (the platform's MAKEINTRESOURCE).
inline const char *MakeIntResource(unsigned short id) {
  return reinterpret_cast<const char *>(static_cast<UINT_PTR_T>(id));
}
const unsigned short IDC_ARROW = 32512;

SYSIMPORT ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *windowClass);
SYSIMPORT HICON WINAPI LoadIconA(HINSTANCE instance, const char *name);
SYSIMPORT HCURSOR WINAPI LoadCursorA(HINSTANCE instance, const char *name);
SYSIMPORT LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
SYSIMPORT int WINAPI MessageBoxA(HWND owner, const char *text, const char *caption, UINT type);
SYSIMPORT BOOL WINAPI GetMessageA(MSG *message, HWND window, UINT filterMin, UINT filterMax);
SYSIMPORT BOOL WINAPI TranslateMessage(const MSG *message);
SYSIMPORT LRESULT WINAPI DispatchMessageA(const MSG *message);
SYSIMPORT BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// ---- C runtime (msvcrt)

// The file-status record of _stat. Only st_size is read. The layout is the
// runtime's: 32-bit time fields in the 32-bit runtime, 64-bit ones in the
// 64-bit runtime; the size is a signed 32-bit number in both.
struct _stat {
  unsigned int st_dev;
  unsigned short st_ino;
  unsigned short st_mode;
  short st_nlink;
  short st_uid;
  short st_gid;
  unsigned int st_rdev;
  int st_size;
#if defined(_WIN64) || defined(__LP64__)
  long long st_atime_, st_mtime_, st_ctime_;
#else
  int st_atime_, st_mtime_, st_ctime_;
#endif
};

typedef struct ZaqFile FILE;  // opaque: only ever handled by pointer

const int _O_RDWR = 0x0002;
const int _O_CREAT = 0x0100;
const int _O_TRUNC = 0x0200;
const int _P_NOWAIT = 1;
#ifndef EACCES
#define EACCES 13  // the same number in the Windows runtime and on Linux
#endif

SYSIMPORT char *CRTAPI getenv(const char *name);
SYSIMPORT int CRTAPI _stat(const char *path, struct _stat *status);
SYSIMPORT int CRTAPI _open(const char *path, int flags, ...);
SYSIMPORT int CRTAPI _close(int descriptor);
SYSIMPORT FILE *CRTAPI fopen(const char *path, const char *mode);
SYSIMPORT char *CRTAPI fgets(char *buffer, int count, FILE *stream);
SYSIMPORT int CRTAPI fclose(FILE *stream);
SYSIMPORT int CRTAPI _unlink(const char *path);
SYSIMPORT int *CRTAPI _errno(void);
SYSIMPORT INT_PTR_T CRTAPI _spawnl(int mode, const char *path, const char *arg0, ...);
SYSIMPORT int CRTAPI _snprintf(char *buffer, SIZE_T count, const char *format, ...);
SYSIMPORT SYSNORETURN void CRTAPI exit(int code);

ZAQSYS_END

#if !defined(_WIN32)
using namespace zaqsys;  // the launcher names these calls as the platform does
#endif

// The entry point, called once on the main thread by the runtime's start-up
// code, which passes its result to exit().
extern "C" int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, char *commandLine, int show);

#endif  // ZAQSETUP_SYSTEM_SYSTEM_H_
