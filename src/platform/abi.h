#pragma once
// Calling-convention spelling for everything that crosses the library boundary. The plug-in is a
// 32-bit Windows DLL whose exports and interface methods use stdcall; the native build has no such
// convention, so the macro is empty there and the same declarations compile unchanged.

#if defined(__i386__) && (defined(__MINGW32__) || defined(_MSC_VER))
#define ZOL_STDCALL __attribute__((stdcall))
#else
#define ZOL_STDCALL
#endif
