{ Moldrin for Pascal: the eleven calls of moldrin.h and the operator, for Delphi and
  Free Pascal (-Mdelphi). Texts are PAnsiChar in Windows-1252; moldrin.h documents
  each call, its limits and its result codes. }
unit Moldrin;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

uses SysUtils, Classes;

const
{$IFDEF MSWINDOWS}
  MoldrinLib = 'Moldrin.dll';
{$ELSE}
  MoldrinLib = 'libmoldrin.so';
{$ENDIF}

  MOLDRIN_COMMAND_MAX = 1500;   { characters of one command }
  MOLDRIN_REPLY_MIN = 132;      { ECFRead refuses a shorter length ... }
  MOLDRIN_REPLY_MAX = 1728;     { ... and a longer one }
  MOLDRIN_LOG_PATH_SIZE = 260;
  MOLDRIN_VERSION_SIZE = 1025;

  MOLDRIN_MB_OK = $00;
  MOLDRIN_MB_YESNO = $04;
  MOLDRIN_MB_ICONERROR = $10;
  MOLDRIN_ID_OK = 1;
  MOLDRIN_ID_YES = 6;
  MOLDRIN_ID_NO = 7;

type
  { The registration fields of the identification dialog. }
  TMoldrinIdentification = packed record
    OrderNumber: array[0..2] of AnsiChar;
    AppVersion: array[0..10] of AnsiChar;
    AppName: array[0..40] of AnsiChar;
    ProgramData: array[0..84] of AnsiChar;
    DeveloperId: array[0..14] of AnsiChar;
    StateReg: array[0..14] of AnsiChar;
    CityReg: array[0..14] of AnsiChar;
    SoftwareHouse: array[0..40] of AnsiChar;
    Coo: array[0..6] of AnsiChar;
    FactoryNumber: array[0..9] of AnsiChar;
  end;
  PMoldrinIdentification = ^TMoldrinIdentification;

  { The operator callbacks are plain C (cdecl) on every system, 32-bit Windows included.
    They may be called on the library's own thread and must not call the library. }
  TMoldrinInfoBox = procedure(Context: Pointer; Text: PAnsiChar); cdecl;
  TMoldrinQuestionBox = function(Context: Pointer; Text: PAnsiChar): Integer; cdecl;
  TMoldrinMessageBox = function(Context: Pointer; Text, Caption: PAnsiChar; Style: Cardinal): Integer; cdecl;
  TMoldrinIdentify = function(Context: Pointer; Caption: PAnsiChar; Fields: PMoldrinIdentification): Integer; cdecl;

  { A nil member keeps the library's own behaviour for that kind of message. }
  TMoldrinOperator = record
    Context: Pointer;
    InfoBox: TMoldrinInfoBox;
    QuestionBox: TMoldrinQuestionBox;
    MessageBox: TMoldrinMessageBox;
    Identify: TMoldrinIdentify;
  end;
  PMoldrinOperator = ^TMoldrinOperator;

function ECFOpen(Port: Integer; TimeoutSeconds, LogMode: Cardinal; ShowDialogs: Integer): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function ECFClose: Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function ECFWrite(Command: PAnsiChar): Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function ECFRead(Buffer: PAnsiChar; Length: Cardinal): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function SetTimeoutRead(Seconds: Cardinal): Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function ECFPathLog(Buffer: PAnsiChar): Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function ECFswLFs: Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
function SetTesteCTS(Enabled: Integer): Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
{ ECFTxFast alone is cdecl on Windows too. }
function ECFTxFast(Bytes: PAnsiChar; Count: Cardinal): Integer; cdecl; external MoldrinLib;
procedure SistemaGetVersion(Buffer: PAnsiChar); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;
{ The record is copied; nil puts the library's own operator back. }
procedure ECFSetOperator(Op: PMoldrinOperator); {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinLib;

type
  { A call failed: its name, its result code, the reply the library left, and why (the
    lines the library logged for the call, or what the unit knows; may be empty). }
  EMoldrinError = class(Exception)
  public
    Call: string;
    Code: Integer;
    Reply: AnsiString;
    Reason: string;
    constructor CreateFor(const ACall: string; ACode: Integer; const AReply: AnsiString; const AReason: string);
  end;

{ ECFOpen that raises EMoldrinError with the reason when the session does not open, after
  the ECFClose a failed open needs. }
procedure MoldrinOpen(Port: Integer; TimeoutSeconds, LogMode: Cardinal; ShowDialogs: Integer);
(* ECFWrite and ECFRead: the reply, or EMoldrinError when the call fails or the reply is one the
  library made up (".-P002}", ".-P006}", ".-P666}", ".-0000ERRO - ..."). *)
function MoldrinSend(const Command: AnsiString): AnsiString;
{ Why the last ECFOpen failed, from the traffic log; call it before ECFClose. }
function MoldrinOpenFailureReason: string;
{ Where a path the library names (c:\TEMP\...) lives: as it is on Windows; elsewhere under
  $MOLDRIN_ROOT (default ~/.moldrin), c:\X\Y being ROOT/c/X/Y. }
function MoldrinHostPath(const WindowsPath: string): string;

implementation

constructor EMoldrinError.CreateFor(const ACall: string; ACode: Integer; const AReply: AnsiString;
  const AReason: string);
var
  Text: string;
begin
  Text := ACall + ' returned ' + IntToStr(ACode);
  if AReply <> '' then Text := Text + ', reply ' + string(AReply);
  if AReason <> '' then Text := Text + ': ' + AReason;
  inherited Create(Text);
  Call := ACall;
  Code := ACode;
  Reply := AReply;
  Reason := AReason;
end;

function MoldrinHostPath(const WindowsPath: string): string;
{$IFNDEF MSWINDOWS}
var
  Root: string;
{$ENDIF}
begin
{$IFDEF MSWINDOWS}
  Result := WindowsPath;
{$ELSE}
  if (Length(WindowsPath) < 2) or (WindowsPath[2] <> ':') then
  begin
    Result := WindowsPath;
    Exit;
  end;
  Root := GetEnvironmentVariable('MOLDRIN_ROOT');
  if Root = '' then Root := GetEnvironmentVariable('HOME') + '/.moldrin';
  Result := Root + '/' + LowerCase(WindowsPath[1]) + StringReplace(Copy(WindowsPath, 3, MaxInt), '\', '/',
    [rfReplaceAll]);
{$ENDIF}
end;

function LogFile: string;
var
  Path: array[0..MOLDRIN_LOG_PATH_SIZE - 1] of AnsiChar;
begin
  Result := '';
  FillChar(Path, SizeOf(Path), 0);
  if (ECFPathLog(Path) = 0) and (Path[1] = ':') then Result := MoldrinHostPath(string(AnsiString(PAnsiChar(@Path[0]))));
end;

function LogSize: Int64;
var
  F: TFileStream;
begin
  Result := -1;
  if (LogFile = '') or not FileExists(LogFile) then Exit;
  try
    F := TFileStream.Create(LogFile, fmOpenRead or fmShareDenyNone);
    try
      Result := F.Size;
    finally
      F.Free;
    end;
  except
    Result := -1;
  end;
end;

{ The log's lines from byte Since, without their time stamps. }
procedure LogLines(Since: Int64; Lines: TStrings);
var
  F: TFileStream;
  Data, Line: AnsiString;
  Start, I, Stamp: Integer;
begin
  Lines.Clear;
  if (Since < 0) or (LogFile = '') or not FileExists(LogFile) then Exit;
  Data := '';
  try
    F := TFileStream.Create(LogFile, fmOpenRead or fmShareDenyNone);
    try
      if Since < F.Size then
      begin
        F.Position := Since;
        SetLength(Data, F.Size - Since);
        F.ReadBuffer(Data[1], Length(Data));
      end;
    finally
      F.Free;
    end;
  except
    Exit;
  end;
  Start := 1;
  for I := 1 to Length(Data) + 1 do
    if (I > Length(Data)) or (Data[I] = #13) or (Data[I] = #10) then
    begin
      Line := Copy(Data, Start, I - Start);
      Start := I + 1;
      Stamp := Pos(' == ', string(Line));
      if (Stamp > 0) and (Stamp < 25) then Line := Copy(Line, Stamp + 4, MaxInt);
      if Trim(string(Line)) <> '' then Lines.Add(string(Line));
    end;
end;

function MoldrinOpenFailureReason: string;
var
  Lines: TStringList;
  I, Banner: Integer;
  L: string;
begin
  Result := '';
  Lines := TStringList.Create;
  try
    LogLines(0, Lines);
    Banner := -1;
    for I := 0 to Lines.Count - 1 do
      if Pos('<<< Moldrin.DLL - Versao', Lines[I]) = 1 then Banner := I;
    if Banner < 0 then
    begin
      Result := 'the traffic log tells no reason (log mode 0?)';
      Exit;
    end;
    for I := Banner + 1 to Lines.Count - 1 do
    begin
      L := Lines[I];
      if (Pos('LOG habilitado', L) = 1) or (Pos('mostra CAIXA DE DIALOGO', L) > 0) or (Pos('Mostra CAIXA', L) = 1) or
         (Pos('Timeout informado', L) = 1) then Continue;
      if Result <> '' then Result := Result + ' / ';
      Result := Result + L;
    end;
    if Result = '' then Result := 'the traffic log tells no reason';
  finally
    Lines.Free;
  end;
end;

var
  OpenPort: Integer = 0;

procedure MoldrinOpen(Port: Integer; TimeoutSeconds, LogMode: Cardinal; ShowDialogs: Integer);
var
  Code: Integer;
  Reason: string;
begin
  Code := ECFOpen(Port, TimeoutSeconds, LogMode, ShowDialogs);
  if Code = 0 then
  begin
    OpenPort := Port;
    Exit;
  end;
  if Port = 0 then Reason := 'port 0: ports count from 1 (COM1)'
  else if (TimeoutSeconds < 1) or (TimeoutSeconds > 60) then
    Reason := 'time-out ' + IntToStr(TimeoutSeconds) + ': 1 to 60 seconds'
  else Reason := MoldrinOpenFailureReason;
  ECFClose;
  raise EMoldrinError.CreateFor('ECFOpen', Code, '', Reason);
end;

function ReplyReason(const Reply: AnsiString; Logged: TStrings): string;
begin
  Result := '';
  if (Reply = '.-P006}') and not FileExists(MoldrinHostPath('c:\TALMA\RFD\E00.BIN')) and
     not FileExists(MoldrinHostPath('c:\TALMA\talma.ini')) then
    Result := 'the fiscal capture refuses fiscal commands until the application''s registration ' +
      'c:\TALMA\RFD\E00.BIN exists (moldrin register --from-printer --port ' + IntToStr(OpenPort) + ')'
  else if Reply = '.-P002}' then Result := 'the command did not reach the printer'
  else if Reply = '.-P006}' then Result := 'no valid reply came, or the fiscal capture refused the command'
  else if Reply = '.-P666}' then Result := 'the fiscal capture could not take its lock';
  if Logged.Count > 0 then
  begin
    if Result <> '' then Result := Result + '; ';
    Result := Result + 'traffic log: ' + Logged[Logged.Count - 1];
  end;
end;

function MoldrinSend(const Command: AnsiString): AnsiString;
var
  Before: Int64;
  Code: Integer;
  Buffer: array[0..MOLDRIN_REPLY_MAX - 1] of AnsiChar;
  Logged: TStringList;
  Failure: Boolean;
begin
  Before := LogSize;
  Code := ECFWrite(PAnsiChar(Command));
  FillChar(Buffer, SizeOf(Buffer), 0);
  ECFRead(Buffer, SizeOf(Buffer));
  Result := AnsiString(PAnsiChar(@Buffer[0]));
  Failure := (Code <> 0) or (Result = '.-P002}') or (Result = '.-P006}') or (Result = '.-P666}') or
    ((Copy(Result, 1, 2) = '.-') and (Copy(Result, 7, 7) = 'ERRO - '));
  if not Failure then Exit;
  Logged := TStringList.Create;
  try
    LogLines(Before, Logged);
    raise EMoldrinError.CreateFor('ECFWrite', Code, Result, ReplyReason(Result, Logged));
  finally
    Logged.Free;
  end;
end;

end.
