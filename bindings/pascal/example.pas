{ The small program of every binding: open a session on COM1, send a status query,
  read the reply, close. Run it with a printer (or `moldrin sim`) on COM1. }
program Example;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses Moldrin;

var
  Version: array[0..MOLDRIN_VERSION_SIZE - 1] of AnsiChar;
  Reply: array[0..MOLDRIN_REPLY_MAX - 1] of AnsiChar;
begin
  SistemaGetVersion(Version);
  WriteLn('library: ', PAnsiChar(@Version[0]));
  if ECFOpen(1, 5, 500, 0) <> 0 then
  begin
    WriteLn('ECFOpen(COM1) failed');
    ECFClose;  { a failed open must be closed before the next one }
    Halt(1);
  end;
  ECFWrite(#27'.271}');
  ECFRead(Reply, SizeOf(Reply));
  WriteLn('status 27 1: ', PAnsiChar(@Reply[0]));
  ECFClose;
end.
