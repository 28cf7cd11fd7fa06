// The host boundary on Windows: the C++ exception for a host that can catch it, the
// structured exception of vexcard/host_interface.h (rule 8b) for any other.
//
// Passing the exception on is what `throw;` (__cxa_rethrow) does, except that a search
// that finds no handler returns here instead of ending in std::terminate: the exception
// is marked as rethrown and handed to the unwinder's _Unwind_RaiseException, whose first
// phase only searches. When it finds a catch clause in the host, the second phase unwinds
// to it (through our catch block, whose end-of-catch sees the rethrow mark, as after
// `throw;`); when it finds none it returns, and the marks are undone.
//
// The records this needs are those of the Itanium C++ ABI that GCC's libstdc++ follows:
// the per-thread globals of __cxa_get_globals and the __cxa_exception header that sits
// right in front of every thrown object, ending in the unwinder's _Unwind_Exception. The
// code checks that the record it found is the exception being handled before using it;
// if not, the error goes the structured way.
#include <windows.h>
// after windows.h
#include <cxxabi.h>
#include <unwind.h>

#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "library/host_boundary.h"

#if defined(__USING_SJLJ_EXCEPTIONS__)
#error "the host boundary expects DWARF-2 (32-bit) or SEH (64-bit) unwinding"
#endif

namespace vexcard::library {
namespace {

struct CxaException {
  std::type_info* exceptionType;
  void (*exceptionDestructor)(void*);
  void (*unexpectedHandler)();
  void (*terminateHandler)();
  CxaException* nextException;
  int handlerCount;  // negative while rethrown
  int handlerSwitchValue;
  const unsigned char* actionRecord;
  const unsigned char* languageSpecificData;
  _Unwind_Ptr catchTemp;
  void* adjustedPtr;
  _Unwind_Exception unwindHeader;
};

struct CxaEhGlobals {
  CxaException* caughtExceptions;
  unsigned int uncaughtExceptions;
};

// "GNUCC++\0": an exception thrown by GCC's C++ runtime (not a dependent or foreign one).
constexpr _Unwind_Exception_Class kGnuCxx = 0x474E5543432B2B00ULL;

#if defined(_WIN64)
// The C++ runtime's exception handler as the host's frames refer to it: the function
// itself, or the host's import stub `jmp [rip+disp32]` (FF 25) that leads to it.
bool isHandler(const void* routine, const void* handler) {
  if (routine == handler) return true;
  const auto* code = static_cast<const unsigned char*>(routine);
  if (code[0] != 0xFF || code[1] != 0x25) return false;
  std::int32_t disp = 0;
  std::memcpy(&disp, code + 2, sizeof disp);
  const void* target = nullptr;
  std::memcpy(&target, code + 6 + disp, sizeof target);
  return target == handler;
}

// 64-bit: whether the first frame above the driver's that has an exception handler
// belongs to a host sharing our C++ runtime (its handler is __gxx_personality_seh0 of the
// libstdc++-6.dll we use). Only then may the C++ exception go on: it travels as a Windows
// exception of the toolchain's own code, which any other frame's handler would take.
bool hostSharesOurRuntime() {
  const HMODULE runtime = ::GetModuleHandleA("libstdc++-6.dll");
  const void* handler =
      runtime ? reinterpret_cast<const void*>(::GetProcAddress(runtime, "__gxx_personality_seh0"))
              : nullptr;
  HMODULE self = nullptr;
  if (handler == nullptr ||
      !::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&hostSharesOurRuntime), &self)) {
    return false;
  }
  CONTEXT context;
  ::RtlCaptureContext(&context);
  for (int depth = 0; depth < 512 && context.Rip != 0; ++depth) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
    if (function == nullptr) {  // a leaf function: the return address is on top
      if (context.Rsp == 0) return false;
      std::memcpy(&context.Rip, reinterpret_cast<const void*>(context.Rsp), sizeof context.Rip);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    const PEXCEPTION_ROUTINE routine =
        ::RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, context.Rip, function, &context,
                           &handlerData, &establisher, nullptr);
    if (routine != nullptr && reinterpret_cast<HMODULE>(imageBase) != self) {
      return isHandler(reinterpret_cast<const void*>(routine), handler);
    }
  }
  return false;
}
#else
// 32-bit: the search itself tells (see above); a host frame without DWARF-2 tables ends it.
bool hostSharesOurRuntime() { return true; }
#endif

}  // namespace

void rethrowIfHostCatches() {
  auto* globals = reinterpret_cast<CxaEhGlobals*>(abi::__cxa_get_globals());
  CxaException* header = globals->caughtExceptions;
  if (header == nullptr || header->unwindHeader.exception_class != kGnuCxx ||
      header->exceptionType != abi::__cxa_current_exception_type() || header->handlerCount <= 0 ||
      !hostSharesOurRuntime()) {
    return;
  }
  globals->uncaughtExceptions += 1;
  header->handlerCount = -header->handlerCount;
  _Unwind_RaiseException(&header->unwindHeader);  // returns only when no frame catches it
  header->handlerCount = -header->handlerCount;
  globals->uncaughtExceptions -= 1;
}

void raiseHostError(const HostError& error) {
  const ULONG_PTR params[kHostErrorParamCount] = {
      reinterpret_cast<ULONG_PTR>(error.message),
      static_cast<ULONG_PTR>(error.errorClass),
      static_cast<ULONG_PTR>(error.serialKind),
      error.status,
      error.length,
      static_cast<ULONG_PTR>(error.outcome),
      static_cast<ULONG_PTR>(error.lineFault),
  };
  ::RaiseException(kHostErrorCode, 0, kHostErrorParamCount, params);
}

}  // namespace vexcard::library
