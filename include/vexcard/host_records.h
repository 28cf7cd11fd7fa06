// The records that cross the host boundary: results of the host operations and the item
// list argument. Their byte layouts are part of the host interface (host_interface.h).
//
// Every record is byte-packed with explicit gap fields, so that the compiler adds nothing:
// the offsets asserted below are the layout. Gaps named GapNN are never written by the
// driver and keep what the host passed in; ZeroNN and WordNN fields are written with 0.
// Sizes are rounded up to a multiple of 8 (the host's records are aligned), with TailNN
// fields at the end that the driver never touches; a host allocating by sizeof has room
// for every byte the driver writes.
//
// All records are the same on 32- and 64-bit builds except TBonusResultStr, whose two
// long-string fields are pointer-sized (see there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexcard/currency.h"
#include "vexcard/runtime.h"

namespace vexcard {

#pragma pack(push, 1)

// Result of CardInfo (slot 7), CardQuantity (18) and CardQuantityEx (19).
struct TCardInfo {
  std::uint8_t Status;        // 0xFF on entry, then the reply code; 0xF0/0xF1 by card type
  ShortString<5> CardType;    // up to 4 characters
  ShortString<7> CardDigits;  // up to 6 characters
  std::uint8_t Gap13[3];
  double DateFrom;  // date-time (days since 30.12.1899)
  double DateTo;
  double Available;
  double Zero40;      // set to 0
  double Zero48;      // set to 0
  double Available2;  // a copy of Available
};

// Result of OilLimit (slot 9), OpenPurse (16) and ItemLimit (17). ItemLimit also reads
// PurseHandle from it: the host passes the record that OpenPurse filled.
struct TPurseInfo {
  std::uint8_t Status;
  std::uint8_t Done;           // 1 once ItemLimit has its answer
  ShortString<5> CardPrefix;   // first four card digits
  ShortString<17> CardNumber;  // the other sixteen
  std::uint8_t Gap24[24];
  double ItemIndex;          // 1..8, the chosen item of ItemLimit
  std::uint8_t PurseHandle;  // the terminal's handle of the selected purse
  std::uint8_t Gap57[7];
  double AllowedSum;
  double AllowedQty;
  std::uint8_t PurseNo;  // product table row
  std::uint8_t Tail81[7];
};

// One goods line of TItemList.
struct TItemRequest {
  std::int32_t Purse;  // product table row
  std::uint8_t Gap4[4];
  Currency Price;  // unit price, value × 10 000
  Extended80 Qty;  // requested quantity
  std::uint8_t Gap26[6];
};

// The by-value argument of ItemLimit (slot 17).
struct TItemList {
  std::uint8_t Count;  // items in use, 1..8
  std::uint8_t Gap1[7];
  TItemRequest Items[8];
};

// Result of SubSchet (slot 4), HostSlot5 and HostSlot6.
struct TSaleResult {
  std::uint8_t Status;
  ShortString<5> CardPrefix;   // first four card digits
  ShortString<17> CardNumber;  // the other sixteen
  ShortString<25> ExtraText;   // a further text, set empty and never filled
  double Amount;               // currency units
  std::uint16_t Word56;        // set to 0 (not by HostSlot5/6)
  std::uint16_t Word58;        // set to 0 (not by HostSlot5/6)
  std::uint8_t Tail60[4];
};

// Result of SubSchetEx (slot 12).
struct TSaleResultEx {
  std::uint8_t Status;
  ShortString<9> CardType;     // the two status bytes as four hex digits
  ShortString<21> CardNumber;  // the 20 card digits
  ShortString<25> ExtraText;   // a further text, set empty and never filled
  double Amount;
  std::uint16_t Word64;        // set to 0
  std::uint16_t Word66;        // set to 0
  std::uint8_t CardBlock[79];  // reply body bytes 23..101 of the sale
  std::uint8_t Gap147[5];
  double SummaSk;
  double Skidka;
  double CosteSK;
};

// Result of BonusSale (11), BonusSale2 (20) and BonusSaleEx (22).
struct TBonusResult {
  std::uint8_t Status;
  std::uint8_t Gap1[2];
  std::uint8_t Incomplete;  // set to 0 when a sale or debit has completed
  ShortString<5> CardType;
  ShortString<17> CardNumber;
  std::uint8_t Gap26[6];
  double SummaSk;
  std::uint8_t Gap40[16];
  double CosteSK;
  double Skidka;
};

// Result of BonusSaleExStr (28): TBonusResult with the card texts as long strings. The
// driver assigns them through the runtime (the old values are released), so the host
// passes the record with both fields holding valid handles or null, and releases the
// handles it finds there afterwards.
//
// The host's record is aligned, so the handles sit on pointer boundaries:
//   32-bit: Status 0, Gap1 1..2, Incomplete 3, CardType 4, CardNumber 8, Gap12 12..15,
//           SummaSk 16, Gap24 24..39, CosteSK 40, Skidka 48; size 56.
//   64-bit: Status 0, Gap1 1..2, Incomplete 3, Gap4 4..7, CardType 8, CardNumber 16,
//           SummaSk 24, Gap32 32..47, CosteSK 48, Skidka 56; size 64.
// Only the handles widen; the 4-byte gap moves in front of them to keep them aligned.
struct TBonusResultStr {
  std::uint8_t Status;
  std::uint8_t Gap1[2];
  std::uint8_t Incomplete;
#if INTPTR_MAX > INT32_MAX
  std::uint8_t Gap4[4];
  LongStrHandle CardType;
  LongStrHandle CardNumber;
  double SummaSk;
  std::uint8_t Gap32[16];
#else
  LongStrHandle CardType;
  LongStrHandle CardNumber;
  std::uint8_t Gap12[4];
  double SummaSk;
  std::uint8_t Gap24[16];
#endif
  double CosteSK;
  double Skidka;
};

#pragma pack(pop)

#define VEXCARD_AT(T, field, offset) \
  static_assert(offsetof(T, field) == (offset), #T "." #field " must lie at " #offset)

VEXCARD_AT(TCardInfo, Status, 0);
VEXCARD_AT(TCardInfo, CardType, 1);
VEXCARD_AT(TCardInfo, CardDigits, 6);
VEXCARD_AT(TCardInfo, Gap13, 13);
VEXCARD_AT(TCardInfo, DateFrom, 16);
VEXCARD_AT(TCardInfo, DateTo, 24);
VEXCARD_AT(TCardInfo, Available, 32);
VEXCARD_AT(TCardInfo, Zero40, 40);
VEXCARD_AT(TCardInfo, Zero48, 48);
VEXCARD_AT(TCardInfo, Available2, 56);
static_assert(sizeof(TCardInfo) == 64);

VEXCARD_AT(TPurseInfo, Status, 0);
VEXCARD_AT(TPurseInfo, Done, 1);
VEXCARD_AT(TPurseInfo, CardPrefix, 2);
VEXCARD_AT(TPurseInfo, CardNumber, 7);
VEXCARD_AT(TPurseInfo, Gap24, 24);
VEXCARD_AT(TPurseInfo, ItemIndex, 48);
VEXCARD_AT(TPurseInfo, PurseHandle, 56);
VEXCARD_AT(TPurseInfo, Gap57, 57);
VEXCARD_AT(TPurseInfo, AllowedSum, 64);
VEXCARD_AT(TPurseInfo, AllowedQty, 72);
VEXCARD_AT(TPurseInfo, PurseNo, 80);
VEXCARD_AT(TPurseInfo, Tail81, 81);
static_assert(sizeof(TPurseInfo) == 88);

VEXCARD_AT(TItemRequest, Purse, 0);
VEXCARD_AT(TItemRequest, Gap4, 4);
VEXCARD_AT(TItemRequest, Price, 8);
VEXCARD_AT(TItemRequest, Qty, 16);
VEXCARD_AT(TItemRequest, Gap26, 26);
static_assert(sizeof(TItemRequest) == 32);

VEXCARD_AT(TItemList, Count, 0);
VEXCARD_AT(TItemList, Gap1, 1);
VEXCARD_AT(TItemList, Items, 8);
static_assert(sizeof(TItemList) == 264);

VEXCARD_AT(TSaleResult, Status, 0);
VEXCARD_AT(TSaleResult, CardPrefix, 1);
VEXCARD_AT(TSaleResult, CardNumber, 6);
VEXCARD_AT(TSaleResult, ExtraText, 23);
VEXCARD_AT(TSaleResult, Amount, 48);
VEXCARD_AT(TSaleResult, Word56, 56);
VEXCARD_AT(TSaleResult, Word58, 58);
VEXCARD_AT(TSaleResult, Tail60, 60);
static_assert(sizeof(TSaleResult) == 64);

VEXCARD_AT(TSaleResultEx, Status, 0);
VEXCARD_AT(TSaleResultEx, CardType, 1);
VEXCARD_AT(TSaleResultEx, CardNumber, 10);
VEXCARD_AT(TSaleResultEx, ExtraText, 31);
VEXCARD_AT(TSaleResultEx, Amount, 56);
VEXCARD_AT(TSaleResultEx, Word64, 64);
VEXCARD_AT(TSaleResultEx, Word66, 66);
VEXCARD_AT(TSaleResultEx, CardBlock, 68);
VEXCARD_AT(TSaleResultEx, Gap147, 147);
VEXCARD_AT(TSaleResultEx, SummaSk, 152);
VEXCARD_AT(TSaleResultEx, Skidka, 160);
VEXCARD_AT(TSaleResultEx, CosteSK, 168);
static_assert(sizeof(TSaleResultEx) == 176);

VEXCARD_AT(TBonusResult, Status, 0);
VEXCARD_AT(TBonusResult, Gap1, 1);
VEXCARD_AT(TBonusResult, Incomplete, 3);
VEXCARD_AT(TBonusResult, CardType, 4);
VEXCARD_AT(TBonusResult, CardNumber, 9);
VEXCARD_AT(TBonusResult, Gap26, 26);
VEXCARD_AT(TBonusResult, SummaSk, 32);
VEXCARD_AT(TBonusResult, Gap40, 40);
VEXCARD_AT(TBonusResult, CosteSK, 56);
VEXCARD_AT(TBonusResult, Skidka, 64);
static_assert(sizeof(TBonusResult) == 72);

VEXCARD_AT(TBonusResultStr, Status, 0);
VEXCARD_AT(TBonusResultStr, Gap1, 1);
VEXCARD_AT(TBonusResultStr, Incomplete, 3);
#if INTPTR_MAX > INT32_MAX
static_assert(sizeof(void*) == 8);
VEXCARD_AT(TBonusResultStr, Gap4, 4);
VEXCARD_AT(TBonusResultStr, CardType, 8);
VEXCARD_AT(TBonusResultStr, CardNumber, 16);
VEXCARD_AT(TBonusResultStr, SummaSk, 24);
VEXCARD_AT(TBonusResultStr, Gap32, 32);
VEXCARD_AT(TBonusResultStr, CosteSK, 48);
VEXCARD_AT(TBonusResultStr, Skidka, 56);
static_assert(sizeof(TBonusResultStr) == 64);
#else
static_assert(sizeof(void*) == 4);
VEXCARD_AT(TBonusResultStr, CardType, 4);
VEXCARD_AT(TBonusResultStr, CardNumber, 8);
VEXCARD_AT(TBonusResultStr, Gap12, 12);
VEXCARD_AT(TBonusResultStr, SummaSk, 16);
VEXCARD_AT(TBonusResultStr, Gap24, 24);
VEXCARD_AT(TBonusResultStr, CosteSK, 40);
VEXCARD_AT(TBonusResultStr, Skidka, 48);
static_assert(sizeof(TBonusResultStr) == 56);
#endif

#undef VEXCARD_AT

}  // namespace vexcard
