{ VexCard.dll for Delphi and Free Pascal (Delphi mode) hosts: the records, the driver
  object's table of 29 operations, and TVexCardDriver, whose methods call them and turn the
  driver's structured exception into EVexCard, so that

    try Driver.BonusSaleEx(...) except on E: Exception do ShowMessage(E.Message) end

  shows the driver's own (Russian) message. vexcard/host_interface.h gives the rules in
  full; in short:
  - every operation is stdcall; one that fills a record takes it first (var), then the
    object;
  - no operation reads its text arguments: they are declared PAnsiChar here and the class
    passes nil;
  - the two card texts of TBonusResultStr are strings of the driver's own heap: the record
    must hold nil on entry, and they are given back with VexStringRelease, never with
    Delphi's string type (FillChar the record to 0 before the call);
  - an error arrives as the structured exception VexCardErrorCode with six parameters,
    which Delphi and Free Pascal raise as EExternal; the class re-raises it as EVexCard;
  - the driver runs the x87 unit at its own control word inside every call and gives the
    host's back after it, so Delphi's unmasked floating-point exceptions and a 53-bit
    precision do not reach it;
  - one thread at a time per object. }
unit VexCard;

{$IFDEF FPC}
  {$mode delphi}
{$ENDIF}

interface

uses
  Windows, SysUtils;

const
  VexCardErrorCode = $E0564358;
  // The structured exception's parameters (ExceptionInformation[...]).
  VexParamMessage = 0;     // PAnsiChar, Windows-1251, valid until the thread's next call
  VexParamClass = 1;       // VexClass*
  VexParamSerialKind = 2;  // VexSerial*
  VexParamStatus = 3;      // the result record's Status at the error; $FF without one
  VexParamLength = 4;      // the message's length in bytes
  VexParamOutcome = 5;     // VexOutcome*; a driver without it raises five parameters
  VexParamLine = 6;        // VexLine*; a driver without it raises six parameters

  VexClassGeneral = 1;
  VexClassSerial = 2;
  VexClassAbstract = 3;
  VexClassConversion = 4;

  VexNotSerial = 0;
  VexSerialIO = 1;
  VexSerialOpenPortFail = 2;
  VexSerialNotSupported = 3;
  VexSerialPortNotOpen = 4;
  VexSerialBufferIsEmpty = 5;
  VexSerialOutputBufferTooSmall = 6;
  VexSerialPutBlockFail = 7;

  VexOutcomeNone = 0;          // no money request was under way: nothing was charged
  VexOutcomeNotCarriedOut = 1; // it never reached the terminal, or was not taken
  VexOutcomeRefused = 2;       // the terminal refused it with a reply code
  VexOutcomeUnknown = 3;       // the terminal may have carried it out: reconcile first
  VexOutcomeDone = 4;          // carried out; a later step of the operation failed

  // How the line failed, when the error is the exchange error (VexParamLine).
  VexLineOk = 0;               // not the line's fault
  VexLineNoAnswer = 1;         // no hand-shake answered in any attempt: cable, power, port
  VexLineNoReply = 2;          // the hand-shake answered, no reply came
  VexLineSpoiled = 3;          // the reply ended with a wrong terminator
  VexLineNotReady = 4;         // the terminal refused with "N"
  VexLineSendFailed = 5;       // the request could not be written to the port

type
  TCardBlock = array[0..78] of Byte;

  TCardInfo = packed record      // CardInfo, CardQuantity, CardQuantityEx
    Status: Byte;
    CardType: string[4];
    CardDigits: string[6];
    Gap13: array[0..2] of Byte;
    DateFrom, DateTo: TDateTime;
    Available, Zero40, Zero48, Available2: Double;
  end;

  TPurseInfo = packed record     // OilLimit, OpenPurse, ItemLimit (which reads PurseHandle)
    Status, Done: Byte;
    CardPrefix: string[4];
    CardNumber: string[16];
    Gap24: array[0..23] of Byte;
    ItemIndex: Double;
    PurseHandle: Byte;
    Gap57: array[0..6] of Byte;
    AllowedSum, AllowedQty: Double;
    PurseNo: Byte;
    Tail81: array[0..6] of Byte;
  end;

  TItemRequest = packed record
    Purse: LongInt;
    Gap4: array[0..3] of Byte;
    Price: Currency;
    Qty: array[0..9] of Byte;    // an x87 extended number (Extended on i386)
    Gap26: array[0..5] of Byte;
  end;

  TItemList = packed record
    Count: Byte;
    Gap1: array[0..6] of Byte;
    Items: array[0..7] of TItemRequest;
  end;

  TSaleResult = packed record    // SubSchet, slots 5 and 6
    Status: Byte;
    CardPrefix: string[4];
    CardNumber: string[16];
    ExtraText: string[24];
    Amount: Double;
    Word56, Word58: Word;
    Tail60: array[0..3] of Byte;
  end;

  TSaleResultEx = packed record  // SubSchetEx
    Status: Byte;
    CardType: string[8];
    CardNumber: string[20];
    ExtraText: string[24];
    Amount: Double;
    Word64, Word66: Word;
    CardBlock: TCardBlock;
    Gap147: array[0..4] of Byte;
    SummaSk, Skidka, CosteSK: Double;
  end;

  TBonusResult = packed record   // BonusSale, BonusSale2, BonusSaleEx
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

  TBonusResultStr = packed record  // BonusSaleExStr (32-bit layout)
    Status: Byte;
    Gap1: array[0..1] of Byte;
    Incomplete: Byte;
    CardType, CardNumber: PAnsiChar;  // the driver's strings: VexStringRelease them
    Gap12: array[0..3] of Byte;
    SummaSk: Double;
    Gap24: array[0..15] of Byte;
    CosteSK, Skidka: Double;
  end;

  PVexSlots = ^TVexSlots;
  PVexObject = ^TVexObject;
  TVexObject = record
    Slots: PVexSlots;            // slot 0; the destructor lies in the word before it
  end;

  TVexDestroy = procedure(Self: PVexObject); stdcall;
  TVexGeTDriver = function(Port: Byte): PVexObject; stdcall;

  // The table from slot 0, in slot order.
  TVexSlots = record
    DataReceived: procedure(Self: PVexObject; Count: Word); stdcall;  // the driver's own
    GetVersion: procedure(Result: PByte; Self: PVexObject); stdcall;  // 12 bytes
    SetHostFlag: procedure(Self: PVexObject; Ignored: LongWord; Value: Byte); stdcall;
    GetHostFlag: function(Self: PVexObject; Ignored: LongWord): Byte; stdcall;
    SubSchet: procedure(var Result: TSaleResult; Self: PVexObject; Purse: Byte;
      Qty, Sum: Double); stdcall;
    HostSlot5: procedure(var Result: TSaleResult; Self: PVexObject;
      Word1, Word2, Word3: LongWord); stdcall;
    HostSlot6: procedure(var Result: TSaleResult; Self: PVexObject); stdcall;
    CardInfo: procedure(var Result: TCardInfo; Self: PVexObject; Ignored: LongWord); stdcall;
    HostSlot8: procedure(Self: PVexObject; Text: PAnsiChar); stdcall;
    OilLimit: procedure(var Result: TPurseInfo; Self: PVexObject); stdcall;
    HostSlot10: procedure(Self: PVexObject; Value: LongWord; Text1, Text2: PAnsiChar;
      Word1, Word2, Word3, Word4, Word5: LongWord); stdcall;
    BonusSale: procedure(var Result: TBonusResult; Self: PVexObject; Mode: AnsiChar;
      Purse: Byte; Qty, Sum: Double; Text1, Text2: PAnsiChar); stdcall;
    SubSchetEx: procedure(var Result: TSaleResultEx; Self: PVexObject; RequestByte,
      Purse: Byte; Qty, Sum: Double); stdcall;
    OpenShift: procedure(Self: PVexObject; ShiftDate: TDateTime; ShiftNo: Byte); stdcall;
    CloseShift: procedure(Self: PVexObject); stdcall;
    RefundSale: procedure(ResultStatus: PByte; Self: PVexObject; RequestByte: Byte;
      Text1, Text2: PAnsiChar; Block: PByte; BlockHigh: LongInt; Purse: Byte;
      Qty, Sum: Double; UseReset: Byte); stdcall;
    OpenPurse: procedure(var Result: TPurseInfo; Self: PVexObject; Selector: Byte); stdcall;
    ItemLimit: procedure(var Result: TPurseInfo; Self: PVexObject; Ignored: LongWord;
      Items: TItemList); stdcall;
    CardQuantity: procedure(var Result: TCardInfo; Self: PVexObject; Purse: Byte;
      Price: Currency); stdcall;
    CardQuantityEx: procedure(var Result: TCardInfo; Self: PVexObject; Purse: Byte;
      var Price: Currency); stdcall;
    BonusSale2: procedure(var Result: TBonusResult; Self: PVexObject; Mode: AnsiChar;
      Purse: Byte; Qty, Sum: Double; Text1, Text2, Text3: PAnsiChar); stdcall;
    HostSlot21: procedure(Self: PVexObject); stdcall;  // raises the abstract-method error
    BonusSaleEx: procedure(var Result: TBonusResult; Self: PVexObject; Mode: AnsiChar;
      Purse: Byte; Qty, Sum: Double; Text1, Text2, Text3: PAnsiChar; Block: PByte;
      BlockHigh: LongInt); stdcall;
    HostSlot23: procedure(Self: PVexObject; Value: LongWord; Text: PAnsiChar; Data: PByte;
      DataHigh: LongInt; Word1, Word2, Word3, Word4: LongWord); stdcall;
    HostSlot24: procedure(Self: PVexObject); stdcall;  // raises the abstract-method error
    HostSlot25: function(Self: PVexObject): LongInt; stdcall;
    HostSlot26: function(Self: PVexObject; Value: LongWord; V: TVarData): LongInt; stdcall;
    HostSlot27: function(Self: PVexObject; Value: LongWord; V: TVarData): LongInt; stdcall;
    BonusSaleExStr: procedure(var Result: TBonusResultStr; Self: PVexObject; Mode: AnsiChar;
      Purse: Byte; Qty, Sum: Double; Text1, Text2, Text3: PAnsiChar; Block: PByte;
      BlockHigh: LongInt); stdcall;
  end;

  // The driver's error: Message in the host's string type, the rest from the exception.
  EVexCard = class(Exception)
  public
    ErrorClass, SerialKind, Status, Outcome: LongWord;
  end;

  // One driver object on one COM port. Every method raises EVexCard on the driver's error.
  TVexCardDriver = class
  private
    FLibrary: HMODULE;
    FObject: PVexObject;
    function Slots: PVexSlots;
  public
    constructor Create(Port: Byte; const LibraryName: string = 'VexCard.dll');
    destructor Destroy; override;
    function GetVersion: AnsiString;
    procedure CardInfo(var R: TCardInfo);
    procedure OilLimit(var R: TPurseInfo);
    procedure OpenPurse(var R: TPurseInfo; Selector: Byte);
    procedure ItemLimit(var R: TPurseInfo; const Items: TItemList);
    procedure SubSchet(var R: TSaleResult; Purse: Byte; Qty, Sum: Double);
    procedure SubSchetEx(var R: TSaleResultEx; RequestByte, Purse: Byte; Qty, Sum: Double);
    procedure CardQuantity(var R: TCardInfo; Purse: Byte; Price: Currency);
    procedure CardQuantityEx(var R: TCardInfo; Purse: Byte; var Price: Currency);
    procedure BonusSale(var R: TBonusResult; Mode: AnsiChar; Purse: Byte; Qty, Sum: Double);
    procedure BonusSaleEx(var R: TBonusResult; Mode: AnsiChar; Purse: Byte; Qty, Sum: Double;
      var Block: TCardBlock);
    procedure BonusSaleExStr(var R: TBonusResultStr; Mode: AnsiChar; Purse: Byte;
      Qty, Sum: Double; var Block: TCardBlock);
    procedure RefundSale(var Status: Byte; RequestByte: Byte; const Block: TCardBlock;
      Purse: Byte; Qty, Sum: Double; UseReset: Boolean);
    procedure OpenShift(ShiftDate: TDateTime; ShiftNo: Byte);
    procedure CloseShift;
    property Handle: PVexObject read FObject;
  end;

// Converts the structured exception in E to EVexCard and raises it; returns when E is not
// the driver's (re-raise it then). For hosts calling the table themselves.
procedure VexRaiseDriverError(E: EExternal);
// Text of the driver's form (Windows-1251) in the host's string type.
function VexText(P: PAnsiChar; Length: Integer): string;
// Gives back a string the driver handed over (TBonusResultStr's fields).
procedure VexStringRelease(S: PAnsiChar);

implementation

{$IF SizeOf(TCardInfo) <> 64} {$MESSAGE ERROR 'TCardInfo must be 64 bytes'} {$IFEND}
{$IF SizeOf(TPurseInfo) <> 88} {$MESSAGE ERROR 'TPurseInfo must be 88 bytes'} {$IFEND}
{$IF SizeOf(TItemRequest) <> 32} {$MESSAGE ERROR 'TItemRequest must be 32 bytes'} {$IFEND}
{$IF SizeOf(TItemList) <> 264} {$MESSAGE ERROR 'TItemList must be 264 bytes'} {$IFEND}
{$IF SizeOf(TSaleResult) <> 64} {$MESSAGE ERROR 'TSaleResult must be 64 bytes'} {$IFEND}
{$IF SizeOf(TSaleResultEx) <> 176} {$MESSAGE ERROR 'TSaleResultEx must be 176 bytes'} {$IFEND}
{$IF SizeOf(TBonusResult) <> 72} {$MESSAGE ERROR 'TBonusResult must be 72 bytes'} {$IFEND}
{$IF SizeOf(TBonusResultStr) <> 56} {$MESSAGE ERROR 'TBonusResultStr must be 56 bytes'} {$IFEND}
{$IF SizeOf(TVexSlots) <> 29 * 4} {$MESSAGE ERROR 'TVexSlots must hold 29 slots'} {$IFEND}

function VexText(P: PAnsiChar; Length: Integer): string;
var
  Wide: WideString;
  N: Integer;
begin
  Result := '';
  if (P = nil) or (Length <= 0) then Exit;
  N := MultiByteToWideChar(1251, 0, P, Length, nil, 0);
  SetLength(Wide, N);
  if N > 0 then MultiByteToWideChar(1251, 0, P, Length, PWideChar(Wide), N);
  Result := string(Wide);  // the host's string type: Unicode, or its ANSI code page
end;

procedure VexStringRelease(S: PAnsiChar);
var
  Count: PLongInt;
begin
  if S = nil then Exit;
  Count := PLongInt(S - 8);
  if Count^ < 0 then Exit;  // a constant
  if InterlockedDecrement(Count^) = 0 then HeapFree(GetProcessHeap, 0, Count);
end;

procedure VexRaiseDriverError(E: EExternal);
var
  Error: EVexCard;
begin
  if (E.ExceptionRecord = nil) or (E.ExceptionRecord^.ExceptionCode <> VexCardErrorCode) or
    (E.ExceptionRecord^.NumberParameters <= VexParamLength) then Exit;
  with E.ExceptionRecord^ do
  begin
    Error := EVexCard.Create(VexText(PAnsiChar(ExceptionInformation[VexParamMessage]),
      Integer(ExceptionInformation[VexParamLength])));
    Error.ErrorClass := ExceptionInformation[VexParamClass];
    Error.SerialKind := ExceptionInformation[VexParamSerialKind];
    Error.Status := ExceptionInformation[VexParamStatus];
    if NumberParameters > VexParamOutcome then
      Error.Outcome := ExceptionInformation[VexParamOutcome]
    else
      Error.Outcome := VexOutcomeNone;
  end;
  raise Error;
end;

constructor TVexCardDriver.Create(Port: Byte; const LibraryName: string);
var
  GeTDriver: TVexGeTDriver;
begin
  inherited Create;
  FLibrary := LoadLibrary(PChar(LibraryName));
  if FLibrary = 0 then RaiseLastOSError;
  GeTDriver := TVexGeTDriver(GetProcAddress(FLibrary, 'GeTDriver'));
  if not Assigned(GeTDriver) then RaiseLastOSError;
  try
    FObject := GeTDriver(Port);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

destructor TVexCardDriver.Destroy;
begin
  if FObject <> nil then
    try
      TVexDestroy(PPointer(PByte(FObject^.Slots) - SizeOf(Pointer))^)(FObject);
    except
      on E: EExternal do begin VexRaiseDriverError(E); raise; end;
    end;
  if FLibrary <> 0 then FreeLibrary(FLibrary);
  inherited Destroy;
end;

function TVexCardDriver.Slots: PVexSlots;
begin
  Result := FObject^.Slots;
end;

function TVexCardDriver.GetVersion: AnsiString;
var
  Buffer: array[0..11] of Byte;
begin
  try
    Slots^.GetVersion(@Buffer[0], FObject);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
  SetString(Result, PAnsiChar(@Buffer[1]), Buffer[0]);
end;

procedure TVexCardDriver.CardInfo(var R: TCardInfo);
begin
  try
    Slots^.CardInfo(R, FObject, 0);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.OilLimit(var R: TPurseInfo);
begin
  try
    Slots^.OilLimit(R, FObject);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.OpenPurse(var R: TPurseInfo; Selector: Byte);
begin
  try
    Slots^.OpenPurse(R, FObject, Selector);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.ItemLimit(var R: TPurseInfo; const Items: TItemList);
begin
  try
    Slots^.ItemLimit(R, FObject, 0, Items);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.SubSchet(var R: TSaleResult; Purse: Byte; Qty, Sum: Double);
begin
  try
    Slots^.SubSchet(R, FObject, Purse, Qty, Sum);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.SubSchetEx(var R: TSaleResultEx; RequestByte, Purse: Byte;
  Qty, Sum: Double);
begin
  try
    Slots^.SubSchetEx(R, FObject, RequestByte, Purse, Qty, Sum);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.CardQuantity(var R: TCardInfo; Purse: Byte; Price: Currency);
begin
  try
    Slots^.CardQuantity(R, FObject, Purse, Price);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.CardQuantityEx(var R: TCardInfo; Purse: Byte; var Price: Currency);
begin
  try
    Slots^.CardQuantityEx(R, FObject, Purse, Price);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.BonusSale(var R: TBonusResult; Mode: AnsiChar; Purse: Byte;
  Qty, Sum: Double);
begin
  try
    Slots^.BonusSale(R, FObject, Mode, Purse, Qty, Sum, nil, nil);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.BonusSaleEx(var R: TBonusResult; Mode: AnsiChar; Purse: Byte;
  Qty, Sum: Double; var Block: TCardBlock);
begin
  try
    Slots^.BonusSaleEx(R, FObject, Mode, Purse, Qty, Sum, nil, nil, nil, @Block[0],
      High(Block));
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.BonusSaleExStr(var R: TBonusResultStr; Mode: AnsiChar; Purse: Byte;
  Qty, Sum: Double; var Block: TCardBlock);
begin
  try
    Slots^.BonusSaleExStr(R, FObject, Mode, Purse, Qty, Sum, nil, nil, nil, @Block[0],
      High(Block));
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.RefundSale(var Status: Byte; RequestByte: Byte;
  const Block: TCardBlock; Purse: Byte; Qty, Sum: Double; UseReset: Boolean);
begin
  try
    Slots^.RefundSale(@Status, FObject, RequestByte, nil, nil, @Block[0], High(Block), Purse,
      Qty, Sum, Ord(UseReset));
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.OpenShift(ShiftDate: TDateTime; ShiftNo: Byte);
begin
  try
    Slots^.OpenShift(FObject, ShiftDate, ShiftNo);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

procedure TVexCardDriver.CloseShift;
begin
  try
    Slots^.CloseShift(FObject);
  except
    on E: EExternal do begin VexRaiseDriverError(E); raise; end;
  end;
end;

end.
