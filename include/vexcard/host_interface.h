// The host interface: the exported entry GeTDriver, the driver object as the host sees
// it, and the table of 29 operations the host reaches by position.
//
// ABI rules
//
//  1. Calling convention. Every function here is VEXCARD_STDCALL: __stdcall on 32-bit
//     Windows (arguments pushed right to left, the callee removes them), the platform's
//     default convention elsewhere. On 32-bit Windows every argument of up to 4 bytes
//     (bytes, characters, 16-bit values, pointers, handles) takes one 4-byte stack slot;
//     a double (date-time, quantity, amount) and a currency value take 8 bytes.
//
//  2. The object. GeTDriver(port) returns a HostObject*. The first word of the object
//     points at slot 0 of its operation table (HostSlots). The word just before slot 0
//     (table index -1) holds the destructor (see rule 9); slots 0-28 hold operations only.
//
//  3. Argument order. A procedure, or a function with an ordinal result, receives the
//     object first, then its declared arguments. A function whose result is a record or a
//     short string receives the caller's result buffer first, then the object, then its
//     declared arguments, and writes the result into the buffer. An ordinal result comes
//     back as the function's return value.
//
//  4. Result buffers belong to the caller. It supplies at least sizeof the record (12
//     bytes for GetVersion). The driver writes the fields the operation documents and
//     leaves every other byte as the caller passed it; it keeps no pointer to the buffer
//     after the call. ItemLimit also reads PurseHandle from its buffer.
//
//  5. Long strings (runtime.h) are passed as their handle. No operation reads its text
//     arguments (HostSlot8 text; HostSlot10 text1, text2; BonusSale text1, text2;
//     RefundSale text1, text2; BonusSale2, BonusSaleEx and BonusSaleExStr text1-text3;
//     HostSlot23 text): the driver never touches them, neither the characters nor the
//     count in front of them, so any value serves there: null, a string of the host's
//     runtime, a plain NUL-terminated literal in read-only memory, a temporary buffer
//     (.NET's marshalled string). What the driver does read: the records and arrays the
//     argument list points at (the result buffers of rule 4, ItemLimit's PurseHandle,
//     the block of RefundSale, BonusSaleEx and BonusSaleExStr as far as rule 7 says,
//     CardQuantityEx's price) and the long-string fields of TBonusResultStr on entry,
//     which it releases when it assigns them. Those fields must hold valid handles or null
//     on entry; the driver assigns them (releasing the old values) and the caller then
//     owns one reference to each new value and releases it. A string with a negative reference
//     count is a constant (a host's literal): the driver never writes to it.
//     On Windows every string the driver makes is one block of the process heap
//     (GetProcessHeap) starting 8 bytes before the characters: int32 reference count,
//     int32 length, the characters, NUL. A host without this runtime reads the
//     characters through the handle and gives a string back by dropping its reference:
//     when the count (a positive one) reaches 0, HeapFree(GetProcessHeap(), 0,
//     handle - 8). Such a host passes null or strings of the same form in the record's
//     fields, never strings of its own memory manager, and must not let its own string
//     type release the driver's strings (Delphi: read them as PAnsiChar).
//
//  6. Variants (runtime.h) are passed by value: the 16-byte record is copied into the
//     argument list. The operation references the contents at entry and clears its copy
//     at exit; the caller's variant is unchanged.
//
//  7. Open arrays travel as two arguments: the address of the first element and the
//     highest index (count - 1, a signed 32-bit value; -1 for an empty array, whose address
//     may be null). By value: the operation only reads the elements. By reference
//     (BonusSaleEx, BonusSaleExStr): it may write elements 0..highest index.
//
//  8. Errors. No error ever ends the host's process: every way out of the driver (the
//     slots, the destructor, GeTDriver) first releases every lock and resource the
//     operation held and leaves the driver as after any error, so the next operation on
//     the same object works. Fields written before the error keep their values; Status
//     then holds the last reply code received. The error then reaches the host in one of
//     two forms:
//
//     a. A host that shares the driver's C++ runtime (MinGW-w64 g++ with the runtime DLLs
//        shipped beside VexCard.dll) gets the C++ exception itself: vexcard::Exception
//        (the general error, message in Windows-1251) or a subclass, among them the
//        serial-port family, EConvertError and EAbstractError (slots 21 and 24, which
//        have no body). Catch them by reference to vexcard::Exception.
//
//     b. Any other host (Delphi, Free Pascal, C, MSVC, .NET, ...) gets a Win32 structured
//        exception, raised with RaiseException: code kHostErrorCode (0xE0564358, the
//        customer bit 29 set), flags 0 (continuable), kHostErrorParamCount parameters:
//          [0] kParamMessage     address of the message: Windows-1251, NUL-terminated,
//                                at most kHostMessageCapacity - 1 bytes (longer ones are
//                                cut). It lies in a buffer of the calling thread, valid
//                                until that thread's next call into the driver (any
//                                slot, GeTDriver, the destructor) or its end; copy it
//                                before then. The buffer is the thread's own, made
//                                once; nothing is allocated per error.
//          [1] kParamClass       a HostErrorClass: general, serial, abstract, conversion
//          [2] kParamSerialKind  a SerialErrorKind: which serial-port error (kNotSerial
//                                unless the class is kSerial)
//          [3] kParamStatus      the operation's Status as it stood at the error (the
//                                first byte of its result record), 0xFF for operations
//                                without a result record
//          [4] kParamLength      the message's length in bytes
//          [5] kParamOutcome     a MoneyOutcome (exception.h): how the operation's money
//                                request ended. 0 none was under way, 1 not carried out,
//                                2 refused, 3 unknown (the terminal may have carried it
//                                out: reconcile before selling again), 4 done (carried
//                                out; a later step of the operation failed). Hosts that
//                                read only [0]-[4] are unaffected.
//          [6] kParamLineFault   a LineFault (exception.h): how the line failed when the
//                                error is "Ошибка обмена с ридером". 0 not the line's
//                                fault, 1 no hand-shake answered in any attempt (a dead
//                                line: cable, power, port), 2 no reply, 3 a spoiled
//                                reply, 4 "N" (not ready), 5 the request not written.
//                                Hosts that read only [0]-[5] are unaffected.
//        Delphi, C++Builder and Free Pascal see it as EExternalException (its
//        ExceptionRecord holds the parameters), MSVC in __try/__except, .NET as
//        SEHException. The frames of the driver that the exception passes hold nothing
//        when it is raised, so a handler may unwind them, as every language's handler
//        does. A handler that continues execution instead (EXCEPTION_CONTINUE_EXECUTION,
//        for example a vectored handler of a C host that records the error) makes the
//        operation return normally to its caller, the result record as the error left it;
//        a function result is then 0 (GeTDriver: null).
//
//     How the driver chooses: it catches every error where it leaves the driver, after
//     all of its own frames have been unwound, then asks the C++ runtime to pass the
//     same exception on to the caller, as `throw;` would, and raises the structured
//     exception only when the runtime's search finds no handler in the caller's frames
//     (the case in which the runtime would otherwise call std::terminate). 32-bit: the
//     toolchain unwinds with DWARF-2 tables, and the search of the two-phase unwinder
//     stops at the first host frame without such tables (every non-MinGW host) or finds
//     no catch clause; nothing is unwound by a search that fails. 64-bit: the C++
//     exceptions of this toolchain travel as Windows exceptions themselves, so a foreign
//     host's handler would take them under a code of the toolchain's own; there the
//     driver walks the caller's frames with the system's unwind tables and rethrows
//     only when the first frame with an exception handler uses the C++ runtime's
//     handler from the libstdc++-6.dll the driver uses. A process-wide terminate handler
//     is not used: it is shared with the host and cannot return.
//
//     Not on Windows: the C++ exception always (form a).
//
//  9. Destruction. The host destroys the object by calling the destructor at table index
//     -1 with the object (VEXCARD_STDCALL, no further arguments). It stops the driver's
//     threads, closes the port and frees the object; the pointer is invalid afterwards.
//     It must not run while another call on the same object is in progress.
//
// 10. Threads. The host calls the operations of one object from one thread at a time; the
//     driver serialises its own traffic with the terminal. Slot 0 (DataReceived) is the
//     serial port's hook, called by the driver's own event thread: not for the host.
//
// 11. Records are byte-packed with explicit gaps (host_records.h); their sizes and field
//     offsets are asserted at compile time.
//
// 12. The x87 unit. The driver computes the sale figures in extended precision. Every way
//     in (the slots, the destructor, GeTDriver) loads the driver's own x87 control word
//     (0x037F: 64-bit precision, rounding to nearest, every exception masked), so that a
//     host running at 53-bit precision (MSVC-built programs, .NET) or with unmasked
//     exceptions (Delphi) gets the same figures as any other. Every way out (a return,
//     the C++ exception of 8a, the structured exception of 8b, which its handler sees
//     already so) clears the x87 exception flags and loads the host's control word again.
//     SSE state is neither read nor changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "vexcard/currency.h"
#include "vexcard/host_records.h"
#include "vexcard/runtime.h"

#if defined(_WIN32) && !defined(_WIN64)
#define VEXCARD_STDCALL __stdcall
#else
#define VEXCARD_STDCALL
#endif

namespace vexcard {

struct HostSlots;

// The driver object as the host sees it: its first word points at slot 0 of its table.
// The driver's object begins with this word; the rest of it is private.
struct HostObject {
  const HostSlots* slots;
};

// Bytes written by GetVersion: a length byte and up to 11 characters.
inline constexpr std::size_t kVersionBufferSize = 12;
inline constexpr int kHostSlotCount = 29;

// The structured exception of rule 8b and its parameters.
inline constexpr std::uint32_t kHostErrorCode = 0xE0564358;
inline constexpr std::uint32_t kParamMessage = 0;
inline constexpr std::uint32_t kParamClass = 1;
inline constexpr std::uint32_t kParamSerialKind = 2;
inline constexpr std::uint32_t kParamStatus = 3;
inline constexpr std::uint32_t kParamLength = 4;
inline constexpr std::uint32_t kParamOutcome = 5;
inline constexpr std::uint32_t kParamLineFault = 6;
inline constexpr std::uint32_t kHostErrorParamCount = 7;
// The message buffer, terminator included.
inline constexpr std::size_t kHostMessageCapacity = 256;

// What kind of error an operation raised (parameter kParamClass).
enum class HostErrorClass : std::uint32_t {
  kGeneral = 1,     // vexcard::Exception: the driver's messages; also out of memory
  kSerial = 2,      // the serial-port family (ESerialIO), kind in kParamSerialKind
  kAbstract = 3,    // EAbstractError: slots 21 and 24
  kConversion = 4,  // EConvertError
};

// Which serial-port error (parameter kParamSerialKind).
enum class SerialErrorKind : std::uint32_t {
  kNotSerial = 0,
  kSerialIO = 1,  // ESerialIO itself
  kOpenPortFail = 2,
  kNotSupported = 3,
  kPortNotOpen = 4,
  kBufferIsEmpty = 5,
  kOutputBufferTooSmall = 6,
  kPutBlockFail = 7,
};

// Table index -1: destroys the object (rule 9).
using HostDestructorFn = void(VEXCARD_STDCALL*)(HostObject* self);

// Slot function types, in slot order. `ignored` marks an argument the driver does not read.
// The placeholder words of HostSlot5/10/23 only fix the size of the argument list, so that
// the callee removes exactly what the host pushed: 12, 20 and 16 bytes as 32-bit words.
// Argument bytes on 32-bit Windows, object and result buffer included, are given as @N.

// 0 (@8): the serial port's data-received hook; not for the host.
using DataReceivedFn = void(VEXCARD_STDCALL*)(HostObject* self, std::uint16_t count);
// 1 (@8): writes kVersionBufferSize bytes, a length byte and the version text.
using GetVersionFn = void(VEXCARD_STDCALL*)(std::uint8_t* result, HostObject* self);
// 2 (@12)
using SetHostFlagFn = void(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t ignored,
                                             std::uint8_t value);
// 3 (@8)
using GetHostFlagFn = std::uint8_t(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t ignored);
// 4 (@28)
using SubSchetFn = void(VEXCARD_STDCALL*)(TSaleResult* result, HostObject* self, std::uint8_t purse,
                                          double qty, double sum);
// 5 (@20): 12 bytes of arguments, not read.
using HostSlot5Fn = void(VEXCARD_STDCALL*)(TSaleResult* result, HostObject* self,
                                           std::uint32_t word1, std::uint32_t word2,
                                           std::uint32_t word3);
// 6 (@8)
using HostSlot6Fn = void(VEXCARD_STDCALL*)(TSaleResult* result, HostObject* self);
// 7 (@12)
using CardInfoFn = void(VEXCARD_STDCALL*)(TCardInfo* result, HostObject* self,
                                          std::uint32_t ignored);
// 8 (@8)
using HostSlot8Fn = void(VEXCARD_STDCALL*)(HostObject* self, LongStrHandle text);
// 9 (@8)
using OilLimitFn = void(VEXCARD_STDCALL*)(TPurseInfo* result, HostObject* self);
// 10 (@36): a 32-bit value, two texts and 20 further bytes, none of them used.
using HostSlot10Fn = void(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t value,
                                            LongStrHandle text1, LongStrHandle text2,
                                            std::uint32_t word1, std::uint32_t word2,
                                            std::uint32_t word3, std::uint32_t word4,
                                            std::uint32_t word5);
// 11 (@40)
using BonusSaleFn = void(VEXCARD_STDCALL*)(TBonusResult* result, HostObject* self, char mode,
                                           std::uint8_t purse, double qty, double sum,
                                           LongStrHandle text1, LongStrHandle text2);
// 12 (@32)
using SubSchetExFn = void(VEXCARD_STDCALL*)(TSaleResultEx* result, HostObject* self,
                                            std::uint8_t requestByte, std::uint8_t purse,
                                            double qty, double sum);
// 13 (@16)
using OpenShiftFn = void(VEXCARD_STDCALL*)(HostObject* self, double shiftDate,
                                           std::uint8_t shiftNo);
// 14 (@4)
using CloseShiftFn = void(VEXCARD_STDCALL*)(HostObject* self);
// 15 (@52): only the first byte (Status) of the caller's record is written.
using RefundSaleFn = void(VEXCARD_STDCALL*)(std::uint8_t* resultStatus, HostObject* self,
                                            std::uint8_t requestByte, LongStrHandle text1,
                                            LongStrHandle text2, const std::uint8_t* block,
                                            std::int32_t blockHigh, std::uint8_t purse, double qty,
                                            double sum, std::uint8_t useReset);
// 16 (@12)
using OpenPurseFn = void(VEXCARD_STDCALL*)(TPurseInfo* result, HostObject* self,
                                           std::uint8_t selector);
// 17 (@276): the item list is copied into the argument list.
using ItemLimitFn = void(VEXCARD_STDCALL*)(TPurseInfo* result, HostObject* self,
                                           std::uint32_t ignored, TItemList items);
// 18 (@20): currency by value, 8 bytes.
using CardQuantityFn = void(VEXCARD_STDCALL*)(TCardInfo* result, HostObject* self,
                                              std::uint8_t purse, Currency price);
// 19 (@16): currency by reference.
using CardQuantityExFn = void(VEXCARD_STDCALL*)(TCardInfo* result, HostObject* self,
                                                std::uint8_t purse, Currency* price);
// 20 (@44)
using BonusSale2Fn = void(VEXCARD_STDCALL*)(TBonusResult* result, HostObject* self, char mode,
                                            std::uint8_t purse, double qty, double sum,
                                            LongStrHandle text1, LongStrHandle text2,
                                            LongStrHandle text3);
// 21: no body, raises EAbstractError.
using HostSlot21Fn = void(VEXCARD_STDCALL*)(HostObject* self);
// 22 (@52): the data block by reference.
using BonusSaleExFn = void(VEXCARD_STDCALL*)(TBonusResult* result, HostObject* self, char mode,
                                             std::uint8_t purse, double qty, double sum,
                                             LongStrHandle text1, LongStrHandle text2,
                                             LongStrHandle text3, std::uint8_t* block,
                                             std::int32_t blockHigh);
// 23 (@36): a 32-bit value, a text, a byte array by value and 16 further bytes, not used.
using HostSlot23Fn = void(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t value,
                                            LongStrHandle text, const std::uint8_t* data,
                                            std::int32_t dataHigh, std::uint32_t word1,
                                            std::uint32_t word2, std::uint32_t word3,
                                            std::uint32_t word4);
// 24: no body, raises EAbstractError.
using HostSlot24Fn = void(VEXCARD_STDCALL*)(HostObject* self);
// 25 (@4): returns 0.
using HostSlot25Fn = std::int32_t(VEXCARD_STDCALL*)(HostObject* self);
// 26, 27 (@24): the Variant is copied into the argument list. The operation has no result
// of its own; the driver returns 0 so that the value is the same every time, but the host
// must not rely on it.
using HostSlot26Fn = std::int32_t(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t value,
                                                    Variant v);
using HostSlot27Fn = std::int32_t(VEXCARD_STDCALL*)(HostObject* self, std::uint32_t value,
                                                    Variant v);
// 28 (@52): as BonusSaleEx, with the long-string result record.
using BonusSaleExStrFn = void(VEXCARD_STDCALL*)(TBonusResultStr* result, HostObject* self,
                                                char mode, std::uint8_t purse, double qty,
                                                double sum, LongStrHandle text1,
                                                LongStrHandle text2, LongStrHandle text3,
                                                std::uint8_t* block, std::int32_t blockHigh);

// Argument bytes a function type takes on 32-bit Windows: every argument rounded up to
// 4 bytes, pointers and handles counted as 4 whatever the build.
template <class Fn>
struct ArgBytes32;
template <class R, class... Args>
struct ArgBytes32<R(VEXCARD_STDCALL*)(Args...)> {
  template <class T>
  static constexpr std::size_t slot() {
    return std::is_pointer_v<T> ? 4 : (sizeof(T) + 3) / 4 * 4;
  }
  static constexpr std::size_t value = (std::size_t{0} + ... + slot<Args>());
};
template <class Fn>
inline constexpr std::size_t kArgBytes32 = ArgBytes32<Fn>::value;

static_assert(kArgBytes32<HostDestructorFn> == 4);
static_assert(kArgBytes32<DataReceivedFn> == 8);
static_assert(kArgBytes32<GetVersionFn> == 8);
static_assert(kArgBytes32<SetHostFlagFn> == 12);
static_assert(kArgBytes32<GetHostFlagFn> == 8);
static_assert(kArgBytes32<SubSchetFn> == 28);
static_assert(kArgBytes32<HostSlot5Fn> == 8 + 12);
static_assert(kArgBytes32<HostSlot6Fn> == 8);
static_assert(kArgBytes32<CardInfoFn> == 12);
static_assert(kArgBytes32<HostSlot8Fn> == 8);
static_assert(kArgBytes32<OilLimitFn> == 8);
static_assert(kArgBytes32<HostSlot10Fn> == 16 + 20);
static_assert(kArgBytes32<BonusSaleFn> == 40);
static_assert(kArgBytes32<SubSchetExFn> == 32);
static_assert(kArgBytes32<OpenShiftFn> == 16);
static_assert(kArgBytes32<CloseShiftFn> == 4);
static_assert(kArgBytes32<RefundSaleFn> == 52);
static_assert(kArgBytes32<OpenPurseFn> == 12);
static_assert(kArgBytes32<ItemLimitFn> == 12 + 264);
static_assert(kArgBytes32<CardQuantityFn> == 20);
static_assert(kArgBytes32<CardQuantityExFn> == 16);
static_assert(kArgBytes32<BonusSale2Fn> == 44);
static_assert(kArgBytes32<BonusSaleExFn> == 52);
static_assert(kArgBytes32<HostSlot23Fn> == 20 + 16);
static_assert(kArgBytes32<HostSlot25Fn> == 4);
static_assert(kArgBytes32<HostSlot26Fn> == 8 + 16);
static_assert(kArgBytes32<HostSlot27Fn> == 8 + 16);
static_assert(kArgBytes32<BonusSaleExStrFn> == 52);

// The operation table, slot 0 first.
struct HostSlots {
  DataReceivedFn DataReceived;
  GetVersionFn GetVersion;
  SetHostFlagFn SetHostFlag;
  GetHostFlagFn GetHostFlag;
  SubSchetFn SubSchet;
  HostSlot5Fn HostSlot5;
  HostSlot6Fn HostSlot6;
  CardInfoFn CardInfo;
  HostSlot8Fn HostSlot8;
  OilLimitFn OilLimit;
  HostSlot10Fn HostSlot10;
  BonusSaleFn BonusSale;
  SubSchetExFn SubSchetEx;
  OpenShiftFn OpenShift;
  CloseShiftFn CloseShift;
  RefundSaleFn RefundSale;
  OpenPurseFn OpenPurse;
  ItemLimitFn ItemLimit;
  CardQuantityFn CardQuantity;
  CardQuantityExFn CardQuantityEx;
  BonusSale2Fn BonusSale2;
  HostSlot21Fn HostSlot21;
  BonusSaleExFn BonusSaleEx;
  HostSlot23Fn HostSlot23;
  HostSlot24Fn HostSlot24;
  HostSlot25Fn HostSlot25;
  HostSlot26Fn HostSlot26;
  HostSlot27Fn HostSlot27;
  BonusSaleExStrFn BonusSaleExStr;
};

// The table as the driver lays it out in memory: the destructor word, then the slots.
// An object's first word holds &table.slots.
struct HostVTable {
  HostDestructorFn Destroy;
  HostSlots slots;
};

static_assert(sizeof(HostDestructorFn) == sizeof(void*));
static_assert(sizeof(HostSlots) == kHostSlotCount * sizeof(void*));
static_assert(offsetof(HostVTable, slots) == sizeof(void*));
static_assert(offsetof(HostSlots, DataReceived) == 0 * sizeof(void*));
static_assert(offsetof(HostSlots, GetVersion) == 1 * sizeof(void*));
static_assert(offsetof(HostSlots, SubSchet) == 4 * sizeof(void*));
static_assert(offsetof(HostSlots, CardInfo) == 7 * sizeof(void*));
static_assert(offsetof(HostSlots, BonusSale) == 11 * sizeof(void*));
static_assert(offsetof(HostSlots, RefundSale) == 15 * sizeof(void*));
static_assert(offsetof(HostSlots, ItemLimit) == 17 * sizeof(void*));
static_assert(offsetof(HostSlots, BonusSale2) == 20 * sizeof(void*));
static_assert(offsetof(HostSlots, BonusSaleEx) == 22 * sizeof(void*));
static_assert(offsetof(HostSlots, HostSlot25) == 25 * sizeof(void*));
static_assert(offsetof(HostSlots, BonusSaleExStr) == 28 * sizeof(void*));

// The operation table of an object.
inline const HostSlots& hostSlots(const HostObject* object) noexcept { return *object->slots; }

// The destructor word at table index -1.
inline HostDestructorFn hostDestructor(const HostObject* object) noexcept {
  const auto* table = reinterpret_cast<const HostVTable*>(
      reinterpret_cast<const unsigned char*>(object->slots) - offsetof(HostVTable, slots));
  return table->Destroy;
}

// The exported entry: creates the driver for COM port `port` (passed in a 32-bit slot)
// and returns it. Raises the serial-port errors when the port cannot be opened.
extern "C" HostObject* VEXCARD_STDCALL GeTDriver(std::uint8_t port);

}  // namespace vexcard
