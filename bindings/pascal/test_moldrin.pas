{ The Pascal unit against the printer simulator on COM1 (run by
  bindings/run_with_simulator.sh): a session, failing calls' codes, the operator. }
program TestMoldrin;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses SysUtils, Moldrin;

var
  Passed, Failed: Integer;
  Boxes: array[0..9] of AnsiString;
  BoxCount: Integer;
  Reply: array[0..MOLDRIN_REPLY_MAX - 1] of AnsiChar;
  Big: array[0..2047] of AnsiChar;
  Text: array[0..MOLDRIN_VERSION_SIZE - 1] of AnsiChar;
  Op: TMoldrinOperator;

{ The library reads the C environment, which Free Pascal's own copy does not reach. }
function setenv(Name, Value: PAnsiChar; Overwrite: Integer): Integer; cdecl; external 'c';

procedure Check(Ok: Boolean; const What: string);
begin
  if Ok then Inc(Passed)
  else
  begin
    Inc(Failed);
    WriteLn('FAIL: ', What);
  end;
end;

procedure RecordBox(Context: Pointer; Text: PAnsiChar); cdecl;
begin
  if BoxCount <= High(Boxes) then Boxes[BoxCount] := AnsiString(Text);
  Inc(BoxCount);
end;

function LastReply: AnsiString;
begin
  FillChar(Reply, SizeOf(Reply), 0);
  ECFRead(Reply, SizeOf(Reply));
  Result := AnsiString(PAnsiChar(@Reply[0]));
end;

begin
  Passed := 0;
  Failed := 0;
  BoxCount := 0;
  SistemaGetVersion(Text);
  Check(AnsiString(PAnsiChar(@Text[0])) = 'Moldrin 3, 0, 0, 19', 'version text');

  Check(ECFOpen(1, 5, 500, 0) = 0, 'ECFOpen(COM1)');
  Check(ECFWrite(#27'.271}') = 0, 'ECFWrite status 27 1');
  Check(Copy(LastReply, 1, 3) = '.+C', 'status reply');
  Check(Length(LastReply) = 128, 'status reply of 128 bytes');
  Check(SetTimeoutRead(61) = 1, 'SetTimeoutRead(61) refused with 1');
  Check(ECFWrite('.28}') = -1, 'a command without ESC fails with -1');
  Check(LastReply = '.-P002}', 'and leaves .-P002}');
  Check(ECFRead(Big, SizeOf(Big)) = -1, 'ECFRead refuses length 2048');
  Check(ECFRead(Big, 132) = 0, 'ECFRead takes length 132');
  Check(ECFPathLog(Text) = 0, 'ECFPathLog');
  Check(Pos('c:\TEMP\ECF-', AnsiString(PAnsiChar(@Text[0]))) = 1, 'log path');
  Check(ECFClose = 0, 'ECFClose');
  Check(ECFWrite(#27'.28}') = -1, 'no session: -1');

  FillChar(Op, SizeOf(Op), 0);
  Op.InfoBox := RecordBox;
  ECFSetOperator(@Op);
  Check(ECFOpen(1, 61, 500, 1) = -1, 'time-out 61 fails the open');
  Check((BoxCount = 1) and (Boxes[0] = 'ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61'), 'the operator got the box');
  ECFClose;
  Check(ECFOpen(1, 5, 500, 1) = 0, 'open after the failed one was closed');
  Check(ECFOpen(1, 5, 500, 1) = -1, 'second open refused');
  Check((BoxCount = 2) and (Boxes[1] = 'ECFopen -> TALMA:  ERRO - N'#$C3'O FOI DADO ECFClose'),
        'with a Windows-1252 box');
  Check(ECFWrite(#27'.28}') = 0, 'the open session still works');
  Check(Copy(LastReply, 1, 2) = '.+', 'and answers');
  ECFClose;
  ECFSetOperator(nil);

  { The errors of MoldrinOpen and MoldrinSend carry the reason. }
  try
    MoldrinOpen(1, 0, 500, 0);
    Check(False, 'time-out 0 raises');
  except
    on E: EMoldrinError do Check(Pos('time-out 0', E.Reason) > 0, 'the reason of time-out 0: ' + E.Message);
  end;
  setenv('MOLDRIN_COM3', PAnsiChar(AnsiString('unix:' + GetEnvironmentVariable('MOLDRIN_WORK') + '/no-such-line')), 1);
  try
    MoldrinOpen(3, 5, 500, 0);
    Check(False, 'a missing device raises');
  except
    on E: EMoldrinError do
      Check(Pos('CONFLITO DE PORTA NO SISTEMA', E.Message) > 0, 'the reason of a failed open: ' + E.Message);
  end;
  MoldrinOpen(1, 5, 500, 0);
  Check(Copy(MoldrinSend(#27'.271}'), 1, 3) = '.+C', 'MoldrinSend answers');
  try
    MoldrinSend('.28}');
    Check(False, 'a malformed command raises');
  except
    on E: EMoldrinError do
      Check((E.Reply = '.-P002}') and (Pos('did not reach the printer', E.Reason) > 0) and
            (Pos('traffic log: ', E.Reason) > 0), 'the reason of a refused command: ' + E.Message);
  end;
  ECFClose;

  WriteLn('pascal: ', Passed, ' passed, ', Failed, ' failed');
  if Failed > 0 then Halt(1);
end.
