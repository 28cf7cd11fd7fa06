{ A cash-desk program in Object Pascal (Delphi mode) on top of VexCard.dll, as a station's
  own program is written: the driver's operations are reached through a record of stdcall
  procedure pointers laid over the object's table (vexcard/host_interface.h gives the
  rules), string literals go in as arguments, and a failing sale is caught with
  try ... except on E: Exception.

    cash-desk-pascal FUEL-COM BONUS-COM

  On FUEL-COM the terminal holds a card that is not a bonus card: the bonus sale fails, the
  program reports the error and reads the card again with the same driver object. On
  BONUS-COM it sells 20 l of product 92 (purse 19) for 370.00 and refunds it.

  Errors. A host that does not share the driver's C++ runtime gets a Win32 structured
  exception, code $E0564358, whose parameters carry the message, the error's class and the
  operation's Status. Delphi and Free Pascal (3.2, i386-win32) raise it as
  EExternalException, whose ExceptionRecord holds a copy of them; the message itself stays
  valid until the next call into the driver.

  Build: ppcross386 -Twin32 -Pi386 cash_desk.pas (scripts/fpc-i386-win32 makes the cross
  compiler). Exit codes: 0 everything went as expected, 1 something did not, 2 no library. }
program CashDeskPascal;

{$mode delphi}
{$apptype console}

uses
  Windows, SysUtils;

const
  VexCardErrorCode = $E0564358;
  ParamMessage = 0;
  ParamClass = 1;
  ParamStatus = 3;
  ClassGeneral = 1;

type
  TCardInfo = packed record
    Status: Byte;
    CardType: string[4];
    CardDigits: string[6];
    Gap13: array[0..2] of Byte;
    DateFrom, DateTo, Available, Zero40, Zero48, Available2: Double;
  end;

  TBonusResult = packed record
    Status: Byte;
    Gap1: array[0..1] of Byte;
    Incomplete: Byte;
    CardType: string[4];
    CardNumber: string[16];
    Gap26: array[0..5] of Byte;
    SummaSk: Double;
    Gap40: array[0..15] of Byte;
    CosteSK, Skidka: Double;
  end;

  PSlots = ^TSlots;
  PHostObject = ^THostObject;
  THostObject = record
    Slots: PSlots;
  end;

  TDestroy = procedure(Self: PHostObject); stdcall;
  TCardInfoProc = procedure(var Result: TCardInfo; Self: PHostObject; Ignored: LongWord); stdcall;
  THostSlot8 = procedure(Self: PHostObject; Text: AnsiString); stdcall;
  TBonusSaleEx = procedure(var Result: TBonusResult; Self: PHostObject; Mode: AnsiChar;
    Purse: Byte; Qty, Sum: Double; Text1, Text2, Text3: AnsiString; Block: PByte;
    BlockHigh: LongInt); stdcall;

  { The object's table from slot 0; the destructor lies in the word before it. }
  TSlots = record
    DataReceived, GetVersion, SetHostFlag, GetHostFlag, SubSchet, HostSlot5,
    HostSlot6: Pointer;
    CardInfo: TCardInfoProc;
    HostSlot8: THostSlot8;
    OilLimit, HostSlot10, BonusSale, SubSchetEx, OpenShift, CloseShift, RefundSale,
    OpenPurse, ItemLimit, CardQuantity, CardQuantityEx, BonusSale2, HostSlot21: Pointer;
    BonusSaleEx: TBonusSaleEx;
    HostSlot23, HostSlot24, HostSlot25, HostSlot26, HostSlot27, BonusSaleExStr: Pointer;
  end;

  TGeTDriver = function(Port: Byte): PHostObject; stdcall;

var
  Failures: Integer = 0;

procedure Expect(Ok: Boolean; const What: string);
begin
  if Ok then WriteLn('PASS  ', What) else WriteLn('FAIL  ', What);
  if not Ok then Inc(Failures);
end;

procedure Destroy(Driver: PHostObject);
begin
  TDestroy(PPointer(PByte(Driver^.Slots) - SizeOf(Pointer))^)(Driver);
end;

var
  Library_: HMODULE;
  GeTDriver: TGeTDriver;
  Fuel, Bonus: PHostObject;
  Card: TCardInfo;
  Sale, Refund: TBonusResult;
  Block: array[0..78] of Byte;
  Caught: Boolean;
  Status, ErrorClass: PtrUInt;
begin
  if ParamCount < 2 then
  begin
    WriteLn('usage: cash-desk-pascal FUEL-COM BONUS-COM');
    Halt(1);
  end;
  Library_ := LoadLibrary('VexCard.dll');
  if Library_ = 0 then
  begin
    WriteLn('VexCard.dll cannot be loaded (error ', GetLastError, ')');
    Halt(2);
  end;
  GeTDriver := TGeTDriver(GetProcAddress(Library_, 'GeTDriver'));

  Fuel := GeTDriver(StrToInt(ParamStr(1)));
  FillChar(Block, SizeOf(Block), 0);
  FillChar(Sale, SizeOf(Sale), 0);
  Caught := False;
  Status := 0;
  ErrorClass := 0;
  try
    Fuel^.Slots^.BonusSaleEx(Sale, Fuel, 'S', 19, 20.0, 370.0, 'fuel', 'Ai-92', 'literal',
      @Block[0], High(Block));
  except
    on E: Exception do
      if (E is EExternal) and (EExternal(E).ExceptionRecord^.ExceptionCode = VexCardErrorCode) then
        with EExternal(E).ExceptionRecord^ do
        begin
          Caught := True;
          ErrorClass := ExceptionInformation[ParamClass];
          Status := ExceptionInformation[ParamStatus];
          WriteLn('BonusSaleEx on the non-bonus card: ', E.ClassName, '; class ', ErrorClass,
            ', status ', Status, ': ', PAnsiChar(ExceptionInformation[ParamMessage]));
        end
      else
        raise;
  end;
  Expect(Caught and (ErrorClass = ClassGeneral) and (Status = Sale.Status),
    'the failed sale was caught with its message and status');

  Fuel^.Slots^.HostSlot8(Fuel, 'a literal');
  FillChar(Card, SizeOf(Card), 0);
  Fuel^.Slots^.CardInfo(Card, Fuel, 0);
  Expect(Card.CardDigits <> '', 'the same driver reads the card again: ' + Card.CardType +
    ' ' + Card.CardDigits);
  Destroy(Fuel);

  Bonus := GeTDriver(StrToInt(ParamStr(2)));
  try
    FillChar(Sale, SizeOf(Sale), 0);
    Bonus^.Slots^.BonusSaleEx(Sale, Bonus, 'S', 19, 20.0, 370.0, 'bonus', 'Ai-92', '',
      @Block[0], High(Block));
    WriteLn('sale: status ', Sale.Status, ', card ', Sale.CardNumber, ', charged ',
      Sale.SummaSk:0:2, ' at ', Sale.CosteSK:0:2, ' a litre');
    Expect(Sale.Status = 0, 'the sale against the bonus card');
    FillChar(Refund, SizeOf(Refund), 0);
    Bonus^.Slots^.BonusSaleEx(Refund, Bonus, '+', 19, 20.0, 370.0, 'bonus', 'Ai-92', '',
      @Block[0], High(Block));
    WriteLn('refund: status ', Refund.Status);
    Expect(Refund.Status = 0, 'the refund');
  except
    on E: Exception do
    begin
      WriteLn('driver error: ', E.ClassName);
      Inc(Failures);
    end;
  end;
  Destroy(Bonus);
  FreeLibrary(Library_);
  WriteLn(Failures, ' failed');
  if Failures > 0 then Halt(1);
end.
