/* VexCard.dll for hosts in C and C++ that do not share the driver's C++ runtime (MSVC,
   clang, MinGW's C compiler, ...): the exported entry, the 29 operations of the driver
   object's table with their argument lists, the records they fill, the structured
   exception every error arrives as, and the rules for strings. C99 or later, or C++.

   The rules in short (vexcard/host_interface.h gives them in full):
   - Every function is VX_CALL (__stdcall on 32-bit Windows). GeTDriver(port) returns the
     object; its first word points at slot 0 of the table (VxSlots), the word before
     slot 0 holds the destructor (vx_destroy).
   - A function whose result is a record receives the caller's buffer first, then the
     object. The driver writes the fields the operation documents and no other byte.
   - Texts: no operation reads its text arguments. Pass NULL or anything else there; the
     driver never touches them. The long strings the driver hands back (the two fields of
     TBonusResultStr) are of its own form: read them as NUL-terminated text and give each
     back with vx_string_release. Those two fields must hold NULL or strings of the
     driver's form on entry (vx_string_new makes one), since the driver releases them.
   - Errors arrive as a Win32 structured exception with code VX_ERROR_CODE and
     VX_ERROR_PARAMS parameters (VX_PARAM_*). The driver has left everything as after any
     error when it raises, so the handler may unwind its frames (__try/__except) or
     continue execution (a vectored handler): the operation then returns normally. The
     message lies in a buffer of the calling thread until its next call into the driver.
   - The x87 unit runs at the driver's own control word inside every call; the host's comes
     back on every way out, so a host at 53-bit precision gets the driver's figures.
   - One thread at a time per object; slot 0 is the driver's own hook, not for the host. */
#ifndef VEXCARD_VEXCARD_H
#define VEXCARD_VEXCARD_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VX_CALL __stdcall
#else
#define VX_CALL
#endif

#if defined(__cplusplus)
#define VX_STATIC_ASSERT(condition, name) static_assert(condition, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VX_STATIC_ASSERT(condition, name) _Static_assert(condition, #name)
#else /* C99: an array of negative size fails to compile */
#define VX_STATIC_ASSERT(condition, name) typedef char vx_assert_##name[(condition) ? 1 : -1]
#endif
#define VX_AT(T, field, offset) VX_STATIC_ASSERT(offsetof(T, field) == (offset), T##_##field)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The structured exception --------------------------------------------------------- */

#define VX_ERROR_CODE 0xE0564358u /* customer bit 29 set */
enum {
  VX_PARAM_MESSAGE = 0,     /* address of the message: Windows-1251, NUL-terminated */
  VX_PARAM_CLASS = 1,       /* a VxErrorClass */
  VX_PARAM_SERIAL_KIND = 2, /* a VxSerialKind; VX_NOT_SERIAL unless the class is serial */
  VX_PARAM_STATUS = 3,      /* the result record's Status at the error; 0xFF without one */
  VX_PARAM_LENGTH = 4,      /* the message's length in bytes */
  VX_PARAM_OUTCOME = 5,     /* a VxOutcome; a driver without it raises 5 parameters */
  VX_PARAM_LINE = 6,        /* a VxLineFault; a driver without it raises 6 parameters */
  VX_ERROR_PARAMS = 7
};
#define VX_MESSAGE_CAPACITY 256 /* the message buffer, terminator included */

typedef enum {
  VX_CLASS_GENERAL = 1,   /* the driver's own errors; also out of memory */
  VX_CLASS_SERIAL = 2,    /* the serial port's, kind in VX_PARAM_SERIAL_KIND */
  VX_CLASS_ABSTRACT = 3,  /* slots 21 and 24, which have no body */
  VX_CLASS_CONVERSION = 4 /* a conversion error */
} VxErrorClass;

typedef enum {
  VX_NOT_SERIAL = 0,
  VX_SERIAL_IO = 1,
  VX_SERIAL_OPEN_PORT_FAIL = 2,
  VX_SERIAL_NOT_SUPPORTED = 3,
  VX_SERIAL_PORT_NOT_OPEN = 4,
  VX_SERIAL_BUFFER_IS_EMPTY = 5,
  VX_SERIAL_OUTPUT_BUFFER_TOO_SMALL = 6,
  VX_SERIAL_PUT_BLOCK_FAIL = 7
} VxSerialKind;

/* How the money request of the failed operation ended. */
typedef enum {
  VX_OUTCOME_NONE = 0,            /* no money request was under way: nothing was charged */
  VX_OUTCOME_NOT_CARRIED_OUT = 1, /* it never reached the terminal, or was not taken */
  VX_OUTCOME_REFUSED = 2,         /* the terminal refused it with a reply code */
  VX_OUTCOME_UNKNOWN = 3,         /* the terminal may have carried it out: reconcile first */
  VX_OUTCOME_DONE = 4             /* carried out; a later step of the operation failed */
} VxOutcome;

/* How the line failed, when the error is "Ошибка обмена с ридером" (VX_PARAM_LINE). */
typedef enum {
  VX_LINE_OK = 0,         /* not the line's fault */
  VX_LINE_NO_ANSWER = 1,  /* no hand-shake answered in any attempt: cable, power, port */
  VX_LINE_NO_REPLY = 2,   /* the hand-shake answered, no reply came */
  VX_LINE_SPOILED = 3,    /* the reply ended with a wrong terminator */
  VX_LINE_NOT_READY = 4,  /* the terminal refused with "N" */
  VX_LINE_SEND_FAILED = 5 /* the request could not be written to the port */
} VxLineFault;

/* ---- Strings ------------------------------------------------------------------------- */

/* A long string: the characters, NUL-terminated, with an int32 reference count 8 bytes in
   front and the int32 length 4 bytes in front; NULL is the empty string. The driver's
   strings are each one block of the process heap starting at the count. */
typedef const char* VxLongStr;

/* A short string field of N bytes: a length byte, then up to N - 1 characters. */
#define VX_SHORT_LENGTH(field) \
  ((size_t)(field)[0] < sizeof(field) ? (size_t)(field)[0] : sizeof(field) - 1)
#define VX_SHORT_TEXT(field) ((const char*)(field) + 1)

/* ---- Records (byte-packed; GapNN bytes are never written, TailNN never touched) ----- */

#pragma pack(push, 1)

typedef struct {       /* CardInfo (7), CardQuantity (18), CardQuantityEx (19) */
  uint8_t Status;      /* 0xFF on entry, then the reply code; 0xF0/0xF1 by card type */
  uint8_t CardType[5]; /* short strings */
  uint8_t CardDigits[7];
  uint8_t Gap13[3];
  double DateFrom, DateTo; /* days since 30.12.1899 */
  double Available, Zero40, Zero48, Available2;
} TCardInfo;

typedef struct { /* OilLimit (9), OpenPurse (16), ItemLimit (17), which reads PurseHandle */
  uint8_t Status;
  uint8_t Done;
  uint8_t CardPrefix[5];
  uint8_t CardNumber[17];
  uint8_t Gap24[24];
  double ItemIndex;
  uint8_t PurseHandle;
  uint8_t Gap57[7];
  double AllowedSum, AllowedQty;
  uint8_t PurseNo;
  uint8_t Tail81[7];
} TPurseInfo;

typedef struct {
  int32_t Purse;
  uint8_t Gap4[4];
  int64_t Price;   /* currency: the value x 10 000 */
  uint8_t Qty[10]; /* an x87 extended number (long double on MinGW and clang for MinGW) */
  uint8_t Gap26[6];
} TItemRequest;

typedef struct { /* ItemLimit's argument, copied into the argument list */
  uint8_t Count;
  uint8_t Gap1[7];
  TItemRequest Items[8];
} TItemList;

typedef struct { /* SubSchet (4), slots 5 and 6 */
  uint8_t Status;
  uint8_t CardPrefix[5];
  uint8_t CardNumber[17];
  uint8_t ExtraText[25];
  double Amount;
  uint16_t Word56, Word58;
  uint8_t Tail60[4];
} TSaleResult;

typedef struct { /* SubSchetEx (12) */
  uint8_t Status;
  uint8_t CardType[9];
  uint8_t CardNumber[21];
  uint8_t ExtraText[25];
  double Amount;
  uint16_t Word64, Word66;
  uint8_t CardBlock[79];
  uint8_t Gap147[5];
  double SummaSk, Skidka, CosteSK;
} TSaleResultEx;

typedef struct { /* BonusSale (11), BonusSale2 (20), BonusSaleEx (22) */
  uint8_t Status;
  uint8_t Gap1[2];
  uint8_t Incomplete;
  uint8_t CardType[5];
  uint8_t CardNumber[17];
  uint8_t Gap26[6];
  double SummaSk;
  uint8_t Gap40[16];
  double CosteSK, Skidka;
} TBonusResult;

typedef struct { /* BonusSaleExStr (28): the card texts as the driver's long strings */
  uint8_t Status;
  uint8_t Gap1[2];
  uint8_t Incomplete;
#if INTPTR_MAX > INT32_MAX
  uint8_t Gap4[4];
  VxLongStr CardType, CardNumber;
  double SummaSk;
  uint8_t Gap32[16];
#else
  VxLongStr CardType, CardNumber;
  uint8_t Gap12[4];
  double SummaSk;
  uint8_t Gap24[16];
#endif
  double CosteSK, Skidka;
} TBonusResultStr;

typedef struct { /* slots 26 and 27 take one by value */
  uint16_t Type;
  uint16_t Reserved[3];
  union {
    int32_t Integer;
    double Double;
    VxLongStr String;
  } Value;
} VxVariant;

#pragma pack(pop)

VX_AT(TCardInfo, CardDigits, 6);
VX_AT(TCardInfo, DateFrom, 16);
VX_AT(TCardInfo, Available2, 56);
VX_STATIC_ASSERT(sizeof(TCardInfo) == 64, TCardInfo_size);
VX_AT(TPurseInfo, CardNumber, 7);
VX_AT(TPurseInfo, ItemIndex, 48);
VX_AT(TPurseInfo, PurseHandle, 56);
VX_AT(TPurseInfo, AllowedSum, 64);
VX_AT(TPurseInfo, PurseNo, 80);
VX_STATIC_ASSERT(sizeof(TPurseInfo) == 88, TPurseInfo_size);
VX_AT(TItemRequest, Price, 8);
VX_AT(TItemRequest, Qty, 16);
VX_STATIC_ASSERT(sizeof(TItemRequest) == 32, TItemRequest_size);
VX_AT(TItemList, Items, 8);
VX_STATIC_ASSERT(sizeof(TItemList) == 264, TItemList_size);
VX_AT(TSaleResult, ExtraText, 23);
VX_AT(TSaleResult, Amount, 48);
VX_AT(TSaleResult, Word58, 58);
VX_STATIC_ASSERT(sizeof(TSaleResult) == 64, TSaleResult_size);
VX_AT(TSaleResultEx, CardNumber, 10);
VX_AT(TSaleResultEx, Amount, 56);
VX_AT(TSaleResultEx, CardBlock, 68);
VX_AT(TSaleResultEx, SummaSk, 152);
VX_AT(TSaleResultEx, CosteSK, 168);
VX_STATIC_ASSERT(sizeof(TSaleResultEx) == 176, TSaleResultEx_size);
VX_AT(TBonusResult, Incomplete, 3);
VX_AT(TBonusResult, CardNumber, 9);
VX_AT(TBonusResult, SummaSk, 32);
VX_AT(TBonusResult, CosteSK, 56);
VX_AT(TBonusResult, Skidka, 64);
VX_STATIC_ASSERT(sizeof(TBonusResult) == 72, TBonusResult_size);
#if INTPTR_MAX > INT32_MAX
VX_AT(TBonusResultStr, CardType, 8);
VX_AT(TBonusResultStr, SummaSk, 24);
VX_AT(TBonusResultStr, CosteSK, 48);
VX_STATIC_ASSERT(sizeof(TBonusResultStr) == 64, TBonusResultStr_size);
#else
VX_AT(TBonusResultStr, CardType, 4);
VX_AT(TBonusResultStr, SummaSk, 16);
VX_AT(TBonusResultStr, CosteSK, 40);
VX_STATIC_ASSERT(sizeof(TBonusResultStr) == 56, TBonusResultStr_size);
#endif
VX_AT(VxVariant, Value, 8);
VX_STATIC_ASSERT(sizeof(VxVariant) == 16, VxVariant_size);

/* ---- The object and its table ------------------------------------------------------- */

typedef struct VxSlots VxSlots;
typedef struct VxDriver {
  const VxSlots* slots;
} VxDriver;

/* The argument bytes on 32-bit Windows, object and result buffer included, are @N. */
struct VxSlots {
  /* 0 (@8): the driver's own hook, not for the host */
  void(VX_CALL* DataReceived)(VxDriver* self, uint16_t count);
  /* 1 (@8): writes 12 bytes, a length byte and the version text */
  void(VX_CALL* GetVersion)(uint8_t* result, VxDriver* self);
  void(VX_CALL* SetHostFlag)(VxDriver* self, uint32_t ignored, uint8_t value); /* 2 (@12) */
  uint8_t(VX_CALL* GetHostFlag)(VxDriver* self, uint32_t ignored);             /* 3 (@8) */
  void(VX_CALL* SubSchet)(TSaleResult* result, VxDriver* self, uint8_t purse, double qty,
                          double sum); /* 4 (@28) */
  void(VX_CALL* HostSlot5)(TSaleResult* result, VxDriver* self, uint32_t word1, uint32_t word2,
                           uint32_t word3); /* 5 (@20): the words are not read */
  void(VX_CALL* HostSlot6)(TSaleResult* result, VxDriver* self);                /* 6 (@8) */
  void(VX_CALL* CardInfo)(TCardInfo* result, VxDriver* self, uint32_t ignored); /* 7 (@12) */
  void(VX_CALL* HostSlot8)(VxDriver* self, VxLongStr text);                     /* 8 (@8) */
  void(VX_CALL* OilLimit)(TPurseInfo* result, VxDriver* self);                  /* 9 (@8) */
  void(VX_CALL* HostSlot10)(VxDriver* self, uint32_t value, VxLongStr text1, VxLongStr text2,
                            uint32_t word1, uint32_t word2, uint32_t word3, uint32_t word4,
                            uint32_t word5); /* 10 (@36): nothing is read */
  void(VX_CALL* BonusSale)(TBonusResult* result, VxDriver* self, char mode, uint8_t purse,
                           double qty, double sum, VxLongStr text1, VxLongStr text2); /* 11 (@40) */
  void(VX_CALL* SubSchetEx)(TSaleResultEx* result, VxDriver* self, uint8_t requestByte,
                            uint8_t purse, double qty, double sum);            /* 12 (@32) */
  void(VX_CALL* OpenShift)(VxDriver* self, double shiftDate, uint8_t shiftNo); /* 13 (@16) */
  void(VX_CALL* CloseShift)(VxDriver* self);                                   /* 14 (@4) */
  /* 15 (@52): writes only the first byte (Status) of the caller's record */
  void(VX_CALL* RefundSale)(uint8_t* resultStatus, VxDriver* self, uint8_t requestByte,
                            VxLongStr text1, VxLongStr text2, const uint8_t* block,
                            int32_t blockHigh, uint8_t purse, double qty, double sum,
                            uint8_t useReset);
  void(VX_CALL* OpenPurse)(TPurseInfo* result, VxDriver* self, uint8_t selector); /* 16 (@12) */
  /* 17 (@276): the item list is copied into the argument list */
  void(VX_CALL* ItemLimit)(TPurseInfo* result, VxDriver* self, uint32_t ignored, TItemList items);
  /* 18 (@20): the price as currency (value x 10 000) by value */
  void(VX_CALL* CardQuantity)(TCardInfo* result, VxDriver* self, uint8_t purse, int64_t price);
  /* 19 (@16): the price by reference */
  void(VX_CALL* CardQuantityEx)(TCardInfo* result, VxDriver* self, uint8_t purse, int64_t* price);
  void(VX_CALL* BonusSale2)(TBonusResult* result, VxDriver* self, char mode, uint8_t purse,
                            double qty, double sum, VxLongStr text1, VxLongStr text2,
                            VxLongStr text3); /* 20 (@44) */
  void(VX_CALL* HostSlot21)(VxDriver* self);  /* 21: raises the abstract-method error */
  /* 22 (@52): the card block (79 bytes) by reference: a sale writes it, a refund reads it */
  void(VX_CALL* BonusSaleEx)(TBonusResult* result, VxDriver* self, char mode, uint8_t purse,
                             double qty, double sum, VxLongStr text1, VxLongStr text2,
                             VxLongStr text3, uint8_t* block, int32_t blockHigh);
  void(VX_CALL* HostSlot23)(VxDriver* self, uint32_t value, VxLongStr text, const uint8_t* data,
                            int32_t dataHigh, uint32_t word1, uint32_t word2, uint32_t word3,
                            uint32_t word4);    /* 23 (@36): nothing is read */
  void(VX_CALL* HostSlot24)(VxDriver* self);    /* 24: raises the abstract-method error */
  int32_t(VX_CALL* HostSlot25)(VxDriver* self); /* 25 (@4): returns 0 */
  /* 26, 27 (@24): return 0, which the host must not rely on */
  int32_t(VX_CALL* HostSlot26)(VxDriver* self, uint32_t value, VxVariant v);
  int32_t(VX_CALL* HostSlot27)(VxDriver* self, uint32_t value, VxVariant v);
  /* 28 (@52): as BonusSaleEx, with the long-string record */
  void(VX_CALL* BonusSaleExStr)(TBonusResultStr* result, VxDriver* self, char mode, uint8_t purse,
                                double qty, double sum, VxLongStr text1, VxLongStr text2,
                                VxLongStr text3, uint8_t* block, int32_t blockHigh);
};
VX_STATIC_ASSERT(sizeof(VxSlots) == 29 * sizeof(void*), VxSlots_size);
VX_AT(VxSlots, CardInfo, 7 * sizeof(void*));
VX_AT(VxSlots, BonusSale, 11 * sizeof(void*));
VX_AT(VxSlots, RefundSale, 15 * sizeof(void*));
VX_AT(VxSlots, BonusSale2, 20 * sizeof(void*));
VX_AT(VxSlots, BonusSaleEx, 22 * sizeof(void*));
VX_AT(VxSlots, BonusSaleExStr, 28 * sizeof(void*));

/* The exported entry, reached with GetProcAddress(library, "GeTDriver"). Raises the
   serial-port error (and returns NULL) when the port cannot be opened. */
typedef VxDriver*(VX_CALL* VxGeTDriverFn)(uint8_t port);
typedef void(VX_CALL* VxDestroyFn)(VxDriver* self);

/* Destroys the object (the destructor at table index -1); the pointer is invalid after. */
static inline void vx_destroy(VxDriver* self) {
  ((const VxDestroyFn*)(const void*)self->slots)[-1](self);
}

/* ---- String helpers (Windows: the process heap, as the driver's strings) ----------- */

#if defined(_WIN32)
#if !defined(_WINDOWS_) /* without <windows.h>: the three functions of kernel32 it needs */
__declspec(dllimport) void* __stdcall GetProcessHeap(void);
__declspec(dllimport) void* __stdcall HeapAlloc(void* heap, unsigned long flags, uintptr_t bytes);
__declspec(dllimport) int __stdcall HeapFree(void* heap, unsigned long flags, void* block);
#endif
#if defined(_MSC_VER) && !defined(__clang__)
long _InterlockedDecrement(long volatile* addend);
#pragma intrinsic(_InterlockedDecrement)
#define VX_DECREMENT(count) _InterlockedDecrement((long volatile*)(count))
#else
#define VX_DECREMENT(count) __atomic_sub_fetch((count), 1, __ATOMIC_ACQ_REL)
#endif

/* A string of the driver's form holding `length` bytes of `text` (count 1), or NULL for
   an empty text or when out of memory. Give it back with vx_string_release. */
static inline VxLongStr vx_string_new(const char* text, size_t length) {
  if (length == 0 || length > 0x7FFFFFF0u) return NULL;
  char* block = (char*)HeapAlloc(GetProcessHeap(), 0, 8 + length + 1);
  if (block == NULL) return NULL;
  const int32_t header[2] = {1, (int32_t)length};
  size_t i;
  for (i = 0; i < sizeof header; ++i) block[i] = ((const char*)header)[i];
  for (i = 0; i < length; ++i) block[8 + i] = text[i];
  block[8 + length] = '\0';
  return block + 8;
}

/* Drops one reference to a string of the driver's form; the last frees it. NULL and
   constants (a negative count) are left alone. */
static inline void vx_string_release(VxLongStr s) {
  if (s == NULL) return;
  int32_t* count = (int32_t*)(void*)(s - 8);
  if (*count < 0) return;
  if (VX_DECREMENT(count) == 0) HeapFree(GetProcessHeap(), 0, (void*)(s - 8));
}
#endif

/* The length of a long string in bytes; 0 for NULL. */
static inline size_t vx_string_length(VxLongStr s) {
  return s == NULL ? 0 : (size_t)((const int32_t*)(const void*)s)[-1];
}

#ifdef __cplusplus
}
#endif

#undef VX_AT
#endif /* VEXCARD_VEXCARD_H */
