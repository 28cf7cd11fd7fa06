/* A cash-desk program in plain C on top of VexCard.dll, built without any C++ runtime: it
   shows how a host that does not share the driver's C++ runtime (C, Pascal, MSVC, .NET,
   ...) uses it. It reaches GeTDriver through the export table and the operations through
   the object's table (include/vexcard/vexcard.h declares them for C and C++;
   vexcard/host_interface.h gives the rules in full).

     cash-desk-c FUEL-COM BONUS-COM [IDLE-SECONDS]

   On FUEL-COM the terminal holds a card that is not a bonus card: the program reads it,
   tries a bonus sale, which fails, reports the error, waits IDLE-SECONDS (default 0; the
   driver polls the terminal once a whole minute passes without an exchange) and reads the card
   again on the same driver object. On BONUS-COM it sells 20 l of Аи-92 (purse 19) for 370.00
   against the bonus card and refunds it, once with the record of short strings
   (BonusSaleEx) and once with the one of long strings (BonusSaleExStr), which it reads
   and gives back itself. It also passes a string constant as its own compiler lays one
   out (reference count -1, read-only) and plain C literals for the texts the driver never
   reads, and shows the errors of GeTDriver(0) and of slot 21.

   The x87 unit. The program runs it at 53-bit precision, as MSVC-built programs and .NET
   do; the driver computes in 64-bit precision whatever the host's setting, and gives the
   host's control word back after every call, a return or an error: the discount of the
   bonus sale is the one of 64-bit precision, and the word is checked after each call.

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

#include "vexcard/vexcard.h"

#define SLOT(object, name) ((object)->slots->name)

/* ---- The x87 unit ------------------------------------------------------------------- */

static uint16_t x87_word(void) {
  uint16_t word;
  __asm__ __volatile__("fnstcw %0" : "=m"(word) : : "memory");
  return word;
}

static void set_x87_word(uint16_t word) {
  __asm__ __volatile__("fldcw %0" : : "m"(word) : "memory");
}

/* The host's own word: 53-bit precision (bits 8-9 = 10), as MSVC's runtime sets it. */
#define HOST_X87_WORD 0x027F

/* The discount of a sale, (1 - charged / sum) x 100, as the x87 unit computes it with
   the control word `word`. */
static double discount_with(uint16_t word, double charged, double sum) {
  volatile double c = charged, s = sum;
  set_x87_word(word);
  volatile long double quotient = (long double)c / (long double)s;
  volatile long double percent = (1.0L - quotient) * 100.0L;
  const double result = (double)percent;
  set_x87_word(HOST_X87_WORD);
  return result;
}

/* ---- Errors ------------------------------------------------------------------------- */

/* The last error of the driver, copied by the handler (the driver's message buffer lives
   only until the next call). One thread calls the driver here, so plain globals serve. */
static struct {
  int raised;
  unsigned errorClass, serialKind, status, outcome;
  uint16_t x87; /* the control word the handler ran with */
  char message[256];
} g_error;

static LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* r = info->ExceptionRecord;
  if (r->ExceptionCode != VX_ERROR_CODE || r->NumberParameters < VX_PARAM_OUTCOME) {
    return EXCEPTION_CONTINUE_SEARCH; /* not the driver's: someone else's business */
  }
  size_t n = (size_t)r->ExceptionInformation[VX_PARAM_LENGTH];
  if (n >= sizeof g_error.message) n = sizeof g_error.message - 1;
  memcpy(g_error.message, (const char*)r->ExceptionInformation[VX_PARAM_MESSAGE], n);
  g_error.message[n] = '\0';
  g_error.errorClass = (unsigned)r->ExceptionInformation[VX_PARAM_CLASS];
  g_error.serialKind = (unsigned)r->ExceptionInformation[VX_PARAM_SERIAL_KIND];
  g_error.status = (unsigned)r->ExceptionInformation[VX_PARAM_STATUS];
  /* A driver older than the outcome parameter raises five. */
  g_error.outcome = r->NumberParameters > VX_PARAM_OUTCOME
                        ? (unsigned)r->ExceptionInformation[VX_PARAM_OUTCOME]
                        : VX_OUTCOME_NONE;
  g_error.x87 = x87_word();
  g_error.raised = 1;
  return EXCEPTION_CONTINUE_EXECUTION; /* the operation returns to its caller */
}

static void before_call(void) { g_error.raised = 0; }

static int failures = 0;

/* Whether the call just made raised; prints the error (the message is Windows-1251). A
   call that changed the host's x87 control word, on its way out or in the handler, fails. */
static int driver_failed(const char* what) {
  const uint16_t after = x87_word();
  if (after != HOST_X87_WORD || (g_error.raised && g_error.x87 != HOST_X87_WORD)) {
    printf("FAIL  %s: the x87 control word is %04X after the call, %04X in the handler\n", what,
           after, g_error.raised ? g_error.x87 : after);
    ++failures;
    set_x87_word(HOST_X87_WORD);
  }
  if (!g_error.raised) return 0;
  printf("%s: error class %u, serial kind %u, status %u, outcome %u: %s\n", what,
         g_error.errorClass, g_error.serialKind, g_error.status, g_error.outcome, g_error.message);
  return 1;
}

/* ---- Results ------------------------------------------------------------------------ */

static void expect(int ok, const char* what) {
  printf("%s  %s\n", ok ? "PASS" : "FAIL", what);
  if (!ok) ++failures;
}

static void print_short(const char* label, const uint8_t* field, size_t size) {
  size_t n = field[0] < size ? field[0] : size - 1;
  printf("%s %.*s", label, (int)n, (const char*)field + 1);
}

/* A string constant as a Pascal or Delphi compiler lays one out: count -1, length, text,
   in the program's read-only data. The driver must never write to it. */
static const struct {
  int32_t count, length;
  char text[8];
} kConstant = {-1, 4, "A-92"};

/* A plain literal in read-only memory, as a C or MSVC host passes one, where the 8 bytes
   in front look like a live string's count and length: the driver must not touch them. */
static const struct {
  int32_t count, length;
  char text[4];
} kPlain = {1, 3, "x92"};

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("usage: cash-desk-c FUEL-COM BONUS-COM [IDLE-SECONDS]\n");
    return 1;
  }
  const uint8_t fuelPort = (uint8_t)atoi(argv[1]), bonusPort = (uint8_t)atoi(argv[2]);
  const int idleSeconds = argc > 3 ? atoi(argv[3]) : 0;

  HMODULE library = LoadLibraryA("VexCard.dll");
  VxGeTDriverFn getDriver =
      library ? (VxGeTDriverFn)(void*)GetProcAddress(library, "GeTDriver") : NULL;
  if (getDriver == NULL) {
    printf("VexCard.dll cannot be loaded (error %lu)\n", GetLastError());
    return 2;
  }
  AddVectoredExceptionHandler(1, on_exception);
  set_x87_word(HOST_X87_WORD);

  /* GeTDriver(0) fails: the port's "Port COM0 not open", and no object. */
  before_call();
  VxDriver* none = getDriver(0);
  expect(driver_failed("GeTDriver(0)") && none == NULL && g_error.errorClass == VX_CLASS_SERIAL &&
             g_error.serialKind == VX_SERIAL_PORT_NOT_OPEN &&
             strcmp(g_error.message, "Port COM0 not open") == 0 && g_error.status == 0xFF,
         "GeTDriver(0) raised the serial error \"Port COM0 not open\"");

  /* The card that is not a bonus card. */
  before_call();
  VxDriver* fuel = getDriver(fuelPort);
  if (driver_failed("GeTDriver") || fuel == NULL) return 1;
  TCardInfo card;
  memset(&card, 0, sizeof card);
  before_call();
  SLOT(fuel, CardInfo)(&card, fuel, 0);
  expect(!driver_failed("CardInfo"), "CardInfo of the non-bonus card");
  printf("status %u,", card.Status); /* 0xF0 or 0xF1: by the card's type */
  print_short(" card", card.CardType, sizeof card.CardType);
  print_short("", card.CardDigits, sizeof card.CardDigits);
  printf("\n");

  uint8_t block[79] = {0};
  TBonusResult sale;
  memset(&sale, 0, sizeof sale);
  before_call();
  SLOT(fuel, BonusSaleEx)
  (&sale, fuel, 'S', 19, 20.0, 370.0, kConstant.text, "", kPlain.text, block, sizeof block - 1);
  expect(driver_failed("BonusSaleEx on the non-bonus card") &&
             g_error.errorClass == VX_CLASS_GENERAL && g_error.status == sale.Status,
         "the failed sale raised a general error with the record's status");

  before_call();
  SLOT(fuel, HostSlot21)(fuel);
  expect(driver_failed("HostSlot21") && g_error.errorClass == VX_CLASS_ABSTRACT,
         "slot 21 raised the abstract-method error");

  if (idleSeconds > 0) {
    printf("idle for %d s\n", idleSeconds);
    fflush(stdout);
    Sleep((DWORD)idleSeconds * 1000);
  }
  memset(&card, 0, sizeof card);
  before_call();
  SLOT(fuel, CardInfo)(&card, fuel, 0);
  expect(!driver_failed("CardInfo") && card.CardDigits[0] != 0,
         "the same driver reads the card again after the errors");
  before_call();
  SLOT(fuel, HostSlot8)(fuel, kConstant.text);
  expect(!driver_failed("HostSlot8") && kConstant.count == -1, "HostSlot8 left the constant alone");
  before_call();
  SLOT(fuel, HostSlot8)(fuel, kPlain.text);
  expect(!driver_failed("HostSlot8") && kPlain.count == 1 && kPlain.length == 3,
         "HostSlot8 left the plain literal alone");
  vx_destroy(fuel);

  /* The bonus card: sale and refund, then the same with long strings. */
  before_call();
  VxDriver* bonus = getDriver(bonusPort);
  if (driver_failed("GeTDriver") || bonus == NULL) return 1;
  memset(&sale, 0, sizeof sale);
  before_call();
  SLOT(bonus, BonusSaleEx)
  (&sale, bonus, 'S', 19, 20.0, 370.0, "", "x", kPlain.text, block, sizeof block - 1);
  expect(!driver_failed("BonusSaleEx") && sale.Status == 0 && kPlain.count == 1,
         "the sale against the bonus card, plain literals for its texts");
  printf("sale: status %u,", sale.Status);
  print_short(" card", sale.CardNumber, sizeof sale.CardNumber);
  printf(", charged %.2f at %.2f a litre (%.1f %% off)\n", sale.SummaSk, sale.CosteSK, sale.Skidka);
  /* 357.05 of 370.00: the two precisions give discounts a bit apart. */
  const double discount64 = discount_with(0x037F, sale.SummaSk, 370.0);
  const double discount53 = discount_with(HOST_X87_WORD, sale.SummaSk, 370.0);
  printf("discount %.17g (64-bit precision %.17g, 53-bit %.17g)\n", sale.Skidka, discount64,
         discount53);
  expect(discount64 != discount53 && sale.Skidka == discount64,
         "the driver computed the discount in 64-bit precision under the host's 53-bit one");

  TBonusResult refund;
  memset(&refund, 0, sizeof refund);
  before_call();
  SLOT(bonus, BonusSaleEx)
  (&refund, bonus, '+', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  expect(!driver_failed("refund") && refund.Status == 0, "the refund");
  printf("refund: status %u\n", refund.Status);

  TBonusResultStr strSale;
  memset(&strSale, 0, sizeof strSale);
  before_call();
  SLOT(bonus, BonusSaleExStr)
  (&strSale, bonus, 'S', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  const int strOk = !driver_failed("BonusSaleExStr") && strSale.Status == 0 &&
                    strSale.CardNumber != NULL && strSale.CardType != NULL;
  expect(strOk, "the sale with the long-string record");
  if (strOk) {
    printf("long strings: card type %s (%d bytes), number %s (%d bytes)\n", strSale.CardType,
           (int)vx_string_length(strSale.CardType), strSale.CardNumber,
           (int)vx_string_length(strSale.CardNumber));
  }
  vx_string_release(strSale.CardType);
  vx_string_release(strSale.CardNumber);
  memset(&refund, 0, sizeof refund);
  before_call();
  SLOT(bonus, BonusSaleEx)
  (&refund, bonus, '+', 19, 20.0, 370.0, NULL, NULL, NULL, block, sizeof block - 1);
  expect(!driver_failed("refund") && refund.Status == 0, "the refund of the second sale");
  vx_destroy(bonus);

  FreeLibrary(library);
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
