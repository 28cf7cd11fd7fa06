/* A cash-desk program built the way MSVC builds one: compiled by clang for the
   i686-pc-windows-msvc (or x86_64-pc-windows-msvc) target and linked by lld-link against
   the system's DLLs only (kernel32, msvcrt), with the driver's errors caught in
   __try/__except, which unwinds the driver's frames, and the x87 unit at 53-bit
   precision, as MSVC's runtime sets it.

     cash-desk-msvc FUEL-COM BONUS-COM

   On FUEL-COM the terminal holds a card that is not a bonus card: a bonus sale fails and
   the program reads the message, status and outcome from the exception record. On
   BONUS-COM it first calls BonusSale with no sum, which fails inside the driver's
   BonusSaleEx, then sells 20 l of Аи-92 (purse 19) for 370.00 with BonusSaleEx and refunds
   it: the sale's journal record must name BonusSaleEx, and its discount must be the one of
   64-bit precision. Every text argument is a plain C literal in read-only memory. After
   every call, a return or an error, the x87 control word must be the program's own.

   No Microsoft header or library is needed: what the program uses of Windows and of the C
   runtime is declared here. Exit codes: 0 everything went as expected, 1 something did
   not, 2 no library. */
#include <stddef.h>
#include <stdint.h>

#include "vexcard/vexcard.h"

/* ---- What the program uses of Windows and of msvcrt.dll ------------------------------ */

typedef struct VxExceptionRecord {
  unsigned long ExceptionCode, ExceptionFlags;
  struct VxExceptionRecord* ExceptionRecord;
  void* ExceptionAddress;
  unsigned long NumberParameters;
  uintptr_t ExceptionInformation[15];
} VxExceptionRecord;
typedef struct {
  VxExceptionRecord* ExceptionRecord;
  void* ContextRecord;
} VxExceptionPointers;
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

__declspec(dllimport) void* __stdcall LoadLibraryA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);

typedef struct {
  int newMode;
} VxStartupInfo;
__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int wildcards,
                                                VxStartupInfo* info);
__declspec(dllimport) void __cdecl exit(int code);
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl atoi(const char* text);
__declspec(dllimport) char* __cdecl getenv(const char* name);
__declspec(dllimport) void* __cdecl fopen(const char* path, const char* mode);
__declspec(dllimport) char* __cdecl fgets(char* line, int size, void* file);
__declspec(dllimport) int __cdecl fclose(void* file);
__declspec(dllimport) int __cdecl fflush(void* file);
__declspec(dllimport) char* __cdecl strstr(const char* text, const char* part);
__declspec(dllimport) int __cdecl strcmp(const char* a, const char* b);
__declspec(dllimport) int __cdecl _snprintf(char* buffer, size_t size, const char* format, ...);
__declspec(dllimport) unsigned int __cdecl _control87(unsigned int word, unsigned int mask);
#define PC_53 0x00010000u
#define MCW_PC 0x00030000u

int _fltused = 0; /* the compiler refers to it when a program uses floating point */

/* ---- Errors --------------------------------------------------------------------------- */

/* The driver's error, copied by the filter (the message lives until the next call). */
static struct {
  unsigned errorClass, serialKind, status, outcome;
  char message[VX_MESSAGE_CAPACITY];
} g_error;

static int driver_error(const VxExceptionPointers* info) {
  const VxExceptionRecord* r = info->ExceptionRecord;
  if (r->ExceptionCode != VX_ERROR_CODE || r->NumberParameters < VX_PARAM_OUTCOME) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  size_t n = (size_t)r->ExceptionInformation[VX_PARAM_LENGTH], i;
  if (n >= sizeof g_error.message) n = sizeof g_error.message - 1;
  const char* message = (const char*)r->ExceptionInformation[VX_PARAM_MESSAGE];
  for (i = 0; i < n; ++i) g_error.message[i] = message[i];
  g_error.message[n] = '\0';
  g_error.errorClass = (unsigned)r->ExceptionInformation[VX_PARAM_CLASS];
  g_error.serialKind = (unsigned)r->ExceptionInformation[VX_PARAM_SERIAL_KIND];
  g_error.status = (unsigned)r->ExceptionInformation[VX_PARAM_STATUS];
  g_error.outcome = r->NumberParameters > VX_PARAM_OUTCOME
                        ? (unsigned)r->ExceptionInformation[VX_PARAM_OUTCOME]
                        : VX_OUTCOME_NONE;
  return EXCEPTION_EXECUTE_HANDLER;
}

/* Runs one call of the driver with the error caught: 1 when it raised. */
#define CALL(raised, call)                                               \
  do {                                                                   \
    raised = 0;                                                          \
    __try {                                                              \
      call;                                                              \
    } __except (driver_error((VxExceptionPointers*)_exception_info())) { \
      raised = 1;                                                        \
    }                                                                    \
  } while (0)

/* ---- Results -------------------------------------------------------------------------- */

static int failures = 0;
static unsigned g_x87; /* the program's own control word */

static void expect(int ok, const char* what) {
  printf("%s  %s\n", ok ? "PASS" : "FAIL", what);
  if (!ok) ++failures;
}

/* After each call: the error, if any, and the x87 control word, which must be ours. */
static int report(int raised, const char* what) {
  const unsigned word = _control87(0, 0);
  if (word != g_x87) {
    printf("FAIL  %s: the x87 control word is %08X, not %08X\n", what, word, g_x87);
    ++failures;
    _control87(g_x87, 0xFFFFFFFFu);
  }
  if (raised) {
    printf("%s: error class %u, serial kind %u, status %u, outcome %u: %s\n", what,
           g_error.errorClass, g_error.serialKind, g_error.status, g_error.outcome,
           g_error.message);
  }
  return raised;
}

/* The operation named by the journal's last request line (%ProgramData%\...). */
static void last_journal_operation(char* op, size_t size) {
  char path[300], line[1024];
  const char* base = getenv("ProgramData");
  _snprintf(path, sizeof path, "%s\\Norvex\\VexCard\\VexCard.journal",
            base ? base : "C:\\ProgramData");
  op[0] = '\0';
  void* file = fopen(path, "r");
  if (file == NULL) return;
  while (fgets(line, sizeof line, file) != NULL) {
    const char* at = strstr(line, "\top=");
    if (at == NULL) continue;
    size_t n = 0;
    for (at += 4; at[n] != '\0' && at[n] != '\t' && at[n] != '\n' && n + 1 < size; ++n) {
      op[n] = at[n];
    }
    op[n] = '\0';
  }
  fclose(file);
}

static int run(int argc, char** argv) {
  if (argc < 3) {
    printf("usage: cash-desk-msvc FUEL-COM BONUS-COM\n");
    return 1;
  }
  const uint8_t fuelPort = (uint8_t)atoi(argv[1]), bonusPort = (uint8_t)atoi(argv[2]);
  void* library = LoadLibraryA("VexCard.dll");
  VxGeTDriverFn getDriver = library ? (VxGeTDriverFn)GetProcAddress(library, "GeTDriver") : NULL;
  if (getDriver == NULL) {
    printf("VexCard.dll cannot be loaded\n");
    return 2;
  }
  _control87(PC_53, MCW_PC);
  g_x87 = _control87(0, 0);
  int raised;

  VxDriver* none = NULL;
  CALL(raised, none = getDriver(0));
  expect(report(raised, "GeTDriver(0)") && none == NULL && g_error.errorClass == VX_CLASS_SERIAL &&
             strcmp(g_error.message, "Port COM0 not open") == 0,
         "GeTDriver(0) raised the serial error in __try/__except");

  VxDriver* fuel = NULL;
  CALL(raised, fuel = getDriver(fuelPort));
  if (report(raised, "GeTDriver") || fuel == NULL) return 1;
  uint8_t block[79] = {0};
  TBonusResult sale;
  CALL(raised, fuel->slots->BonusSaleEx(&sale, fuel, 'S', 19, 20.0, 370.0, "", "x", "A-92", block,
                                        sizeof block - 1));
  expect(report(raised, "BonusSaleEx on the non-bonus card") &&
             g_error.errorClass == VX_CLASS_GENERAL && g_error.status == sale.Status &&
             g_error.outcome == VX_OUTCOME_NONE,
         "the failed sale raised the general error, plain literals for its texts");
  vx_destroy(fuel);

  VxDriver* bonus = NULL;
  CALL(raised, bonus = getDriver(bonusPort));
  if (report(raised, "GeTDriver") || bonus == NULL) return 1;
  CALL(raised, bonus->slots->BonusSale(&sale, bonus, 'S', 19, 20.0, 0.0, "", "x"));
  expect(report(raised, "BonusSale with no sum"), "BonusSale with no sum raised");
  CALL(raised, bonus->slots->BonusSaleEx(&sale, bonus, 'S', 19, 20.0, 370.0, "", "x", "A-92", block,
                                         sizeof block - 1));
  expect(!report(raised, "BonusSaleEx") && sale.Status == 0, "the sale against the bonus card");
  char op[64];
  last_journal_operation(op, sizeof op);
  printf("journal: op=%s\n", op);
  expect(strcmp(op, "BonusSaleEx") == 0, "the sale's journal record names BonusSaleEx");
  /* 357.05 of 370.00: 3.4999999999999969 in 64-bit precision, 3.499999999999992 in 53. */
  printf("discount %.17g\n", sale.Skidka);
  expect(sale.Skidka == 3.4999999999999969, "the discount of 64-bit precision under 53-bit");
  TBonusResult refund;
  CALL(raised, bonus->slots->BonusSaleEx(&refund, bonus, '+', 19, 20.0, 370.0, "", "x", "A-92",
                                         block, sizeof block - 1));
  expect(!report(raised, "refund") && refund.Status == 0, "the refund");
  vx_destroy(bonus);

  FreeLibrary(library);
  printf("%d failed\n", failures);
  fflush(NULL);
  return failures == 0 ? 0 : 1;
}

/* The program's entry (lld-link /entry:cash_desk_start): no C runtime startup of
   Microsoft's, only msvcrt.dll's arguments. */
void __cdecl cash_desk_start(void) {
  int argc = 0;
  char** argv = NULL;
  char** env = NULL;
  VxStartupInfo info = {0};
  __getmainargs(&argc, &argv, &env, 0, &info);
  exit(run(argc, argv));
}
