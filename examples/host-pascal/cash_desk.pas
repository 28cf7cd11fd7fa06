{ A cash-desk program in Object Pascal (Delphi mode) on top of VexCard.dll, as a station's
  own program is written with the unit VexCard.pas beside it: a TVexCardDriver per port,
  whose methods raise the driver's errors as EVexCard, caught with
  try ... except on E: Exception, E.Message in the host's string type.

    cash-desk-pascal FUEL-COM BONUS-COM

  On FUEL-COM the terminal holds a card that is not a bonus card: the bonus sale fails, the
  program reports the error and reads the card again with the same driver object, and
  passes a string literal to slot 8 through the table itself. On BONUS-COM it sells 20 l
  of product 92 (purse 19) for 370.00 and refunds it.

  Build: ppcross386 -Twin32 -Pi386 cash_desk.pas (scripts/fpc-i386-win32 makes the cross
  compiler), or with Delphi. Exit codes: 0 everything went as expected, 1 something did
  not, 2 no library. }
program CashDeskPascal;

{$mode delphi}
{$apptype console}

uses
  SysUtils, VexCard;

var
  Failures: Integer = 0;

procedure Expect(Ok: Boolean; const What: string);
begin
  if Ok then WriteLn('PASS  ', What) else WriteLn('FAIL  ', What);
  if not Ok then Inc(Failures);
end;

var
  Fuel, Bonus: TVexCardDriver;
  Card: TCardInfo;
  Sale, Refund: TBonusResult;
  Block: TCardBlock;
  Caught: Boolean;
  Status, ErrorClass: LongWord;
begin
  if ParamCount < 2 then
  begin
    WriteLn('usage: cash-desk-pascal FUEL-COM BONUS-COM');
    Halt(1);
  end;
  try
    Fuel := TVexCardDriver.Create(StrToInt(ParamStr(1)));
  except
    on E: Exception do
    begin
      WriteLn('VexCard.dll: ', E.ClassName, ': ', E.Message);
      Halt(2);
    end;
  end;
  FillChar(Block, SizeOf(Block), 0);
  FillChar(Sale, SizeOf(Sale), 0);
  Caught := False;
  Status := 0;
  ErrorClass := 0;
  try
    Fuel.BonusSaleEx(Sale, 'S', 19, 20.0, 370.0, Block);
  except
    on E: Exception do
    begin
      Caught := E is EVexCard;
      if Caught then
      begin
        ErrorClass := EVexCard(E).ErrorClass;
        Status := EVexCard(E).Status;
      end;
      WriteLn('BonusSaleEx on the non-bonus card: ', E.ClassName, '; class ', ErrorClass,
        ', status ', Status, ': ', E.Message);
    end;
  end;
  Expect(Caught and (ErrorClass = VexClassGeneral) and (Status = Sale.Status),
    'the failed sale was caught as EVexCard with its message and status');

  Fuel.Handle^.Slots^.HostSlot8(Fuel.Handle, 'a literal');
  FillChar(Card, SizeOf(Card), 0);
  Fuel.CardInfo(Card);
  Expect(Card.CardDigits <> '', 'the same driver reads the card again: ' + Card.CardType +
    ' ' + Card.CardDigits);
  Fuel.Free;

  Bonus := TVexCardDriver.Create(StrToInt(ParamStr(2)));
  try
    FillChar(Sale, SizeOf(Sale), 0);
    Bonus.BonusSaleEx(Sale, 'S', 19, 20.0, 370.0, Block);
    WriteLn('sale: status ', Sale.Status, ', card ', Sale.CardNumber, ', charged ',
      Sale.SummaSk:0:2, ' at ', Sale.CosteSK:0:2, ' a litre');
    Expect(Sale.Status = 0, 'the sale against the bonus card');
    FillChar(Refund, SizeOf(Refund), 0);
    Bonus.BonusSaleEx(Refund, '+', 19, 20.0, 370.0, Block);
    WriteLn('refund: status ', Refund.Status);
    Expect(Refund.Status = 0, 'the refund');
  except
    on E: Exception do
    begin
      WriteLn('driver error: ', E.ClassName, ': ', E.Message);
      Inc(Failures);
    end;
  end;
  Bonus.Free;
  WriteLn(Failures, ' failed');
  if Failures > 0 then Halt(1);
end.
