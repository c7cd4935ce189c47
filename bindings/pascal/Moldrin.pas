{ Moldrin for Pascal: the eleven calls of moldrin.h and the operator, for Delphi and
  Free Pascal (-Mdelphi). Texts are PAnsiChar in Windows-1252; moldrin.h documents
  each call, its limits and its result codes. }
unit Moldrin;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

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

implementation

end.
