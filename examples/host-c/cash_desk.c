/* A cash-desk program in plain C on top of VexCard.dll, built without any C++ runtime: it
   shows how a host that does not share the driver's C++ runtime (C, Pascal, MSVC, .NET,
   ...) uses it. It reaches GeTDriver through the export table and the operations through
   the object's table by position (vexcard/host_interface.h gives the rules; this file
   declares what it uses in C).

     cash-desk-c FUEL-COM BONUS-COM [IDLE-SECONDS]

   On FUEL-COM the terminal holds a card that is not a bonus card: the program reads it,
   tries a bonus sale, which fails, reports the error, waits IDLE-SECONDS (default 0; the
   driver polls the terminal once a whole minute passes without an exchange) and reads the card
   again on the same driver object. On BONUS-COM it sells 20 l of Аи-92 (purse 19) for 370.00
   against the bonus card and refunds it, once with the record of short strings
   (BonusSaleEx) and once with the one of long strings (BonusSaleExStr), which it reads
   and gives back itself. It also passes a string constant as its own compiler lays one
   out (reference count -1, read-only), shows the errors of GeTDriver(0) and of slot 21.

   Errors. The driver raises a Win32 structured exception, code 0xE0564358, for a host that
   cannot catch its C++ exceptions. MinGW's C compiler has no __try, so this program
   catches it with a vectored exception handler that copies the error and continues
   execution: the driver's operation then returns to its caller normally, and the program
   looks at the copy after each call (driver_failed). The driver's frames hold nothing when
   it raises, so continuing is as safe as unwinding them.

   Exit codes: 0 everything went as expected, 1 something did not, 2 no library. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#if defined(_WIN64)
#define VX_CALL
#else
#define VX_CALL __stdcall
#endif

/* ---- The host interface, as far as this program uses it ---------------------------- */

#define VX_ERROR_CODE 0xE0564358u
enum { VX_PARAM_MESSAGE, VX_PARAM_CLASS, VX_PARAM_SERIAL_KIND, VX_PARAM_STATUS, VX_PARAM_LENGTH };
enum { VX_CLASS_GENERAL = 1, VX_CLASS_SERIAL = 2, VX_CLASS_ABSTRACT = 3, VX_CLASS_CONVERSION = 4 };
enum { VX_SERIAL_PORT_NOT_OPEN = 4 };

typedef const char* LongStr; /* characters; int32 count at -8, int32 length at -4 */

#pragma pack(push, 1)
typedef struct {
  uint8_t Status;
  uint8_t CardType[5]; /* short strings: a length byte, then the characters */
  uint8_t CardDigits[7];
  uint8_t Gap13[3];
  double DateFrom, DateTo, Available, Zero40, Zero48, Available2;
} TCardInfo;

typedef struct {
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

typedef struct {
  uint8_t Status;
  uint8_t Gap1[2];
  uint8_t Incomplete;
#if defined(_WIN64)
  uint8_t Gap4[4];
  LongStr CardType, CardNumber;
  double SummaSk;
  uint8_t Gap32[16];
#else
  LongStr CardType, CardNumber;
  uint8_t Gap12[4];
  double SummaSk;
  uint8_t Gap24[16];
#endif
  double CosteSK, Skidka;
} TBonusResultStr;
#pragma pack(pop)

typedef struct HostObject {
  void* const* slots; /* slot 0 first; the destructor at index -1 */
} HostObject;

typedef HostObject*(VX_CALL* GeTDriverFn)(uint8_t port);
typedef void(VX_CALL* DestroyFn)(HostObject* self);
typedef void(VX_CALL* CardInfoFn)(TCardInfo* result, HostObject* self, uint32_t ignored);
typedef void(VX_CALL* HostSlot8Fn)(HostObject* self, LongStr text);
typedef void(VX_CALL* HostSlot21Fn)(HostObject* self);
typedef void(VX_CALL* BonusSaleExFn)(TBonusResult* result, HostObject* self, char mode,
                                     uint8_t purse, double qty, double sum, LongStr text1,
                                     LongStr text2, LongStr text3, uint8_t* block,
                                     int32_t blockHigh);
typedef void(VX_CALL* BonusSaleExStrFn)(TBonusResultStr* result, HostObject* self, char mode,
                                        uint8_t purse, double qty, double sum, LongStr text1,
                                        LongStr text2, LongStr text3, uint8_t* block,
                                        int32_t blockHigh);

#define SLOT(object, index, type) ((type)(object)->slots[index])

/* ---- Errors ------------------------------------------------------------------------- */

/* The last error of the driver, copied by the handler (the driver's message buffer lives
   only until the next call). One thread calls the driver here, so plain globals serve. */
static struct {
  int raised;
  unsigned errorClass, serialKind, status;
  char message[256];
} g_error;

static LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (r->ExceptionCode != VX_ERROR_CODE || r->NumberParameters < 5) {
    return EXCEPTION_CONTINUE_SEARCH; /* not the driver's: someone else's business */
  }
  size_t n = (size_t)r->ExceptionInformation[VX_PARAM_LENGTH];
  if (n >= sizeof g_error.message) n = sizeof g_error.message - 1;
  memcpy(g_error.message, (const char*)r->ExceptionInformation[VX_PARAM_MESSAGE], n);
  g_error.message[n] = '\0';
  g_error.errorClass = (unsigned)r->ExceptionInformation[VX_PARAM_CLASS];
  g_error.serialKind = (unsigned)r->ExceptionInformation[VX_PARAM_SERIAL_KIND];
  g_error.status = (unsigned)r->ExceptionInformation[VX_PARAM_STATUS];
  g_error.raised = 1;
  return EXCEPTION_CONTINUE_EXECUTION; /* the operation returns to its caller */
}

static void before_call(void) { g_error.raised = 0; }

/* Whether the call just made raised; prints the error (the message is Windows-1251). */
static int driver_failed(const char* what) {
  if (!g_error.raised) return 0;
  printf("%s: error class %u, serial kind %u, status %u: %s\n", what, g_error.errorClass,
         g_error.serialKind, g_error.status, g_error.message);
  return 1;
}

/* ---- Results ------------------------------------------------------------------------ */

static int failures = 0;

static void expect(int ok, const char* what) {
  printf("%s  %s\n", ok ? "PASS" : "FAIL", what);
  if (!ok) ++failures;
}

static void print_short(const char* label, const uint8_t* field, size_t size) {
  size_t n = field[0] < size ? field[0] : size - 1;
  printf("%s %.*s", label, (int)n, (const char*)field + 1);
}

/* Gives back a string the driver handed over: it lies on the process heap, 8 bytes
   after the start of its block. A negative count is a constant, left alone. */
static void release_string(LongStr s) {
  if (s == NULL) return;
  LONG* count = (LONG*)(s - 8);
  if (*count < 0) return;
  if (InterlockedDecrement(count) == 0) HeapFree(GetProcessHeap(), 0, (void*)(s - 8));
}

/* A string constant as a Pascal or Delphi compiler lays one out: count -1, length, text,
   in the program's read-only data. The driver must never write to it. */
static const struct {
  int32_t count, length;
  char text[8];
} kConstant = {-1, 4, "A-92"};

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("usage: cash-desk-c FUEL-COM BONUS-COM [IDLE-SECONDS]\n");
    return 1;
  }
  const uint8_t fuelPort = (uint8_t)atoi(argv[1]), bonusPort = (uint8_t)atoi(argv[2]);
  const int idleSeconds = argc > 3 ? atoi(argv[3]) : 0;

  HMODULE library = LoadLibraryA("VexCard.dll");
  GeTDriverFn getDriver = library ? (GeTDriverFn)(void*)GetProcAddress(library, "GeTDriver") : NULL;
  if (getDriver == NULL) {
    printf("VexCard.dll cannot be loaded (error %lu)\n", GetLastError());
    return 2;
  }
  AddVectoredExceptionHandler(1, on_exception);

  /* GeTDriver(0) fails: the port's "Port COM0 not open", and no object. */
  before_call();
  HostObject* none = getDriver(0);
  expect(driver_failed("GeTDriver(0)") && none == NULL && g_error.errorClass == VX_CLASS_SERIAL &&
             g_error.serialKind == VX_SERIAL_PORT_NOT_OPEN &&
             strcmp(g_error.message, "Port COM0 not open") == 0 && g_error.status == 0xFF,
         "GeTDriver(0) raised the serial error \"Port COM0 not open\"");

  /* The card that is not a bonus card. */
  before_call();
  HostObject* fuel = getDriver(fuelPort);
  if (driver_failed("GeTDriver") || fuel == NULL) return 1;
  TCardInfo card;
  memset(&card, 0, sizeof card);
  before_call();
  SLOT(fuel, 7, CardInfoFn)(&card, fuel, 0);
  expect(!driver_failed("CardInfo"), "CardInfo of the non-bonus card");
  printf("status %u,", card.Status); /* 0xF0 or 0xF1: by the card's type */
  print_short(" card", card.CardType, sizeof card.CardType);
  print_short("", card.CardDigits, sizeof card.CardDigits);
  printf("\n");

  uint8_t block[79] = {0};
  TBonusResult sale;
  memset(&sale, 0, sizeof sale);
  before_call();
  SLOT(fuel, 22, BonusSaleExFn)
  (&sale, fuel, 'S', 19, 20.0, 370.0, kConstant.text, NULL, NULL, block, sizeof block - 1);
  expect(driver_failed("BonusSaleEx on the non-bonus card") &&
             g_error.errorClass == VX_CLASS_GENERAL && g_error.status == sale.Status,
         "the failed sale raised a general error with the record's status");

  before_call();
  SLOT(fuel, 21, HostSlot21Fn)(fuel);
  expect(driver_failed("HostSlot21") && g_error.errorClass == VX_CLASS_ABSTRACT,
         "slot 21 raised the abstract-method error");

  if (idleSeconds > 0) {
    printf("idle for %d s\n", idleSeconds);
    fflush(stdout);
    Sleep((DWORD)idleSeconds * 1000);
  }
  memset(&card, 0, sizeof card);
  before_call();
  SLOT(fuel, 7, CardInfoFn)(&card, fuel, 0);
  expect(!driver_failed("CardInfo") && card.CardDigits[0] != 0,
         "the same driver reads the card again after the errors");
  before_call();
  SLOT(fuel, 8, HostSlot8Fn)(fuel, kConstant.text);
  expect(!driver_failed("HostSlot8") && kConstant.count == -1, "HostSlot8 left the constant alone");
  ((DestroyFn)fuel->slots[-1])(fuel);

  /* The bonus card: sale and refund, then the same with long strings. */
  before_call();
  HostObject* bonus = getDriver(bonusPort);
  if (driver_failed("GeTDriver") || bonus == NULL) return 1;
  memset(&sale, 0, sizeof sale);
  before_call();
  SLOT(bonus, 22, BonusSaleExFn)
  (&sale, bonus, 'S', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  expect(!driver_failed("BonusSaleEx") && sale.Status == 0, "the sale against the bonus card");
  printf("sale: status %u,", sale.Status);
  print_short(" card", sale.CardNumber, sizeof sale.CardNumber);
  printf(", charged %.2f at %.2f a litre (%.1f %% off)\n", sale.SummaSk, sale.CosteSK, sale.Skidka);

  TBonusResult refund;
  memset(&refund, 0, sizeof refund);
  before_call();
  SLOT(bonus, 22, BonusSaleExFn)
  (&refund, bonus, '+', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  expect(!driver_failed("refund") && refund.Status == 0, "the refund");
  printf("refund: status %u\n", refund.Status);

  TBonusResultStr strSale;
  memset(&strSale, 0, sizeof strSale);
  before_call();
  SLOT(bonus, 28, BonusSaleExStrFn)
  (&strSale, bonus, 'S', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  const int strOk = !driver_failed("BonusSaleExStr") && strSale.Status == 0 &&
                    strSale.CardNumber != NULL && strSale.CardType != NULL;
  expect(strOk, "the sale with the long-string record");
  if (strOk) {
    printf("long strings: card type %s (%d bytes), number %s (%d bytes)\n", strSale.CardType,
           ((const int32_t*)strSale.CardType)[-1], strSale.CardNumber,
           ((const int32_t*)strSale.CardNumber)[-1]);
  }
  release_string(strSale.CardType);
  release_string(strSale.CardNumber);
  memset(&refund, 0, sizeof refund);
  before_call();
  SLOT(bonus, 22, BonusSaleExFn)
  (&refund, bonus, '+', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  expect(!driver_failed("refund") && refund.Status == 0, "the refund of the second sale");
  ((DestroyFn)bonus->slots[-1])(bonus);

  FreeLibrary(library);
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
