// The calling convention of the legacy host: stdcall on 32-bit Windows (the
// callee removes its arguments). The same boundary code builds for Linux, where
// the macro is empty, so that its logic runs in the native tests.
#pragma once

#if defined(_WIN32) && defined(__i386__)
#define BW_STDCALL __stdcall
#else
#define BW_STDCALL
#endif
