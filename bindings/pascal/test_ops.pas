{ The typed operations of the Pascal unit, with the fiscal capture on, after sell_coupon
  sold its coupon: bad arguments named, a refusal's reason, then the Z reduction and the
  coupon read back from the day's fiscal file (E14, E15, E21). }
program TestOps;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses SysUtils, Classes, Moldrin, MoldrinOps;

var
  Passed, Failed: Integer;
  R: TMoldrinOpsResult;
  S: TMoldrinOpsStatus;
  Crz: Cardinal;
  Found: TSearchRec;
  Dir: string;
  Lines, E14, E15, E21: TStringList;
  I: Integer;

procedure Check(Ok: Boolean; const What: string);
begin
  if Ok then Inc(Passed)
  else begin Inc(Failed); WriteLn('FAIL: ', What); end;
end;

{ Columns First..Last, 1-based and inclusive, as the record layouts count them. }
function Col(const Line: string; First, Last: Integer): string;
begin
  Result := Copy(Line, First, Last - First + 1);
end;

begin
  Passed := 0;
  Failed := 0;
  { The records as moldrin_ops.h lays them out, whatever this compiler's alignment. }
  Check((SizeOf(TMoldrinOpsResult) = 472) and (SizeOf(TMoldrinOpsStatus) = 224) and
        (PtrUInt(@S.Subtotal) - PtrUInt(@S) = 184) and (PtrUInt(@R.Change) - PtrUInt(@R) = 464),
        'record layouts of moldrin_ops.h');
  if ECFOpen(1, 5, 500, 0) <> 0 then begin ECFClose; Halt(1); end;
  Check(MoldrinOpenCoupon('123', R) = MOLDRIN_OPS_BAD_ARGUMENT, 'short CPF refused');
  Check(string(PAnsiChar(@R.Field[0])) = 'buyer', 'field buyer named');
  Check(MoldrinSellItem('1', 'PAO', 1000, 'cx', 100, 2, 'T01', R) = MOLDRIN_OPS_BAD_ARGUMENT, 'unit refused');
  Check(Pos('unit:', string(PAnsiChar(@R.Reason[0]))) = 1, 'reason names the unit');
  Check(MoldrinCloseCoupon('', R) = MOLDRIN_OPS_REFUSED, 'closing no coupon refused');
  Check((R.PrinterCode = 11) and (Pos('not allowed now', string(PAnsiChar(@R.Reason[0]))) > 0), 'refusal reason');
  Check(MoldrinReadStatus(S, R) = MOLDRIN_OPS_OK, 'status read');
  Check((S.Ccf = 1) and (S.Document = MOLDRIN_DOCUMENT_NONE) and (S.Payments[0] = 4854), 'status after the coupon');
  Crz := S.Crz;
  Check(MoldrinZReduction(R) = MOLDRIN_OPS_OK, 'Z reduction');
  Check(R.Crz = Crz + 1, 'Z reduction counted');
  ECFClose;
  Check(MoldrinXReading(R) = MOLDRIN_OPS_NO_SESSION, 'no session said so');

  Dir := GetEnvironmentVariable('MOLDRIN_ROOT') + '/c/TALMA/RFD/S E F A Z - ArqDigital = [CD] & [Transmitir]/';
  Lines := TStringList.Create;
  E14 := TStringList.Create;
  E15 := TStringList.Create;
  E21 := TStringList.Create;
  if FindFirst(Dir + '*', faAnyFile and not faDirectory, Found) = 0 then
  begin
    Lines.LoadFromFile(Dir + Found.Name);
    FindClose(Found);
  end;
  for I := 0 to Lines.Count - 1 do
    if Copy(Lines[I], 1, 3) = 'E14' then
      E14.Add(Col(Lines[I], 47, 52) + '|' + Col(Lines[I], 53, 58) + '|' + Col(Lines[I], 67, 80) + '|' + Col(Lines[I], 178, 191))
    else if Copy(Lines[I], 1, 3) = 'E15' then
      E15.Add(Col(Lines[I], 62, 75) + '|' + Col(Lines[I], 183, 185) + '|' + Col(Lines[I], 194, 201) + '|' + Col(Lines[I], 210, 223))
    else if Copy(Lines[I], 1, 3) = 'E21' then
      E21.Add(Col(Lines[I], 65, 79) + '|' + Col(Lines[I], 80, 92));
  Check(E14.CommaText = '000001|000002|00000000006854|00012345678909', 'E14: ' + E14.CommaText);
  Check(E15.CommaText = '"7891234560012 |un |00000000|00000000004380","2000123000450 |Kg |00000000|00000000001606",' +
                        '"7896543210987 |l  |00000050|00000000000868"', 'E15: ' + E15.CommaText);
  Check(E21.CommaText = '"Dinheiro       |0000000004854","Cartao         |0000000002000"', 'E21: ' + E21.CommaText);
  WriteLn('typed operations: ', Passed, ' passed, ', Failed, ' failed');
  if Failed > 0 then Halt(1);
end.
