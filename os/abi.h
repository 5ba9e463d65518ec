// The calling convention and export marking of every function that crosses a
// library boundary: the RP1210 exports, the multiplexer's and the transports'
// entries, and the callbacks placed in the records they exchange.
//
// The product is 32-bit Windows, where these functions use the Windows API
// convention (stdcall) and are exported through .def files under their plain
// names. The native test build has one convention only; its shared libraries
// export the marked names through linker version scripts.
#pragma once

#if defined(_WIN32)
#define HV_CALL __stdcall
#define HV_EXPORT extern "C"
#else
#define HV_CALL
#define HV_EXPORT extern "C" __attribute__((visibility("default")))
#endif
