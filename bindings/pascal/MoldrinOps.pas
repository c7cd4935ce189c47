{ Moldrin typed fiscal operations for Pascal: the calls of moldrin_ops.h, for Delphi and
  Free Pascal (-Mdelphi). Amounts are cents (Int64), quantities thousandths, texts
  PAnsiChar in Windows-1252; moldrin_ops.h and docs/operations.md document each call.
  Every call answers a MOLDRIN_OPS_ code and fills a TMoldrinOpsResult: on failure its
  Reason says why and Field names the argument at fault. }
unit MoldrinOps;

{$IFDEF FPC}{$MODE DELPHI}{$PACKRECORDS C}{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  MoldrinOpsLib = 'MoldrinOps.dll';
{$ELSE}
  MoldrinOpsLib = 'libmoldrin_ops.so';
{$ENDIF}

  MOLDRIN_OPS_OK = 0;
  MOLDRIN_OPS_NO_SESSION = -1;
  MOLDRIN_OPS_BAD_ARGUMENT = -2;
  MOLDRIN_OPS_REFUSED = -3;
  MOLDRIN_OPS_NOT_DELIVERED = -4;
  MOLDRIN_OPS_UNDECIDED = -5;

  MOLDRIN_DOCUMENT_NONE = 0;
  MOLDRIN_DOCUMENT_COUPON = 1;
  MOLDRIN_DOCUMENT_NON_FISCAL = 2;

type
  TMoldrinOpsResult = record
    Status: Integer;
    Field: array[0..31] of AnsiChar;
    Reason: array[0..255] of AnsiChar;
    Reply: array[0..131] of AnsiChar;
    PrinterCode: Integer;
    Recovered: Integer;
    Resent: Integer;
    ItemNumber, Coo, Ccf, Gnf, Crz: Cardinal;
    Subtotal: Int64;
    Change: Int64;
  end;

  TMoldrinOpsStatus = record
    Coo, Ccf, Gnf, Crz: Cardinal;
    GrandTotal, GrossDailySale, Cancellations, Discounts, Increases: Int64;
    Payments: array[0..9] of Int64;
    FiscalDate: array[0..6] of AnsiChar;
    Clock: array[0..10] of AnsiChar;
    FactoryNumber: array[0..9] of AnsiChar;
    ModelLetter: AnsiChar;
    Reserved1: array[0..2] of AnsiChar;  { the gaps are members: the same layout at any alignment }
    Extended: Integer;
    Document: Integer;
    Items: Cardinal;
    Reserved2: Cardinal;
    Subtotal: Int64;
    LastCommand: Integer;
    LastRefused: Integer;
    LastReplyCode: Cardinal;
    Paper: array[0..15] of AnsiChar;
    Reserved3: array[0..3] of AnsiChar;
  end;

function MoldrinOpenCoupon(Buyer: PAnsiChar; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinSetBuyer(Buyer: PAnsiChar; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinSellItem(Code, Description: PAnsiChar; Quantity: Int64; AUnit: PAnsiChar; UnitPrice: Int64;
  PriceDecimals: Integer; TaxCode: PAnsiChar; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinItemDiscount(Amount: Int64; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinCancelItem(ItemNumber: Integer; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinSubtotalDiscount(Amount: Int64; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinSubtotalIncrease(Amount: Int64; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinPay(Method: Integer; Amount: Int64; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinCloseCoupon(Message: PAnsiChar; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinCancelCoupon(var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinNonFiscalReceipt(Totalizer, Method: Integer; Amount: Int64; Text: PAnsiChar;
  var R: TMoldrinOpsResult): Integer; {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinXReading(var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinZReduction(var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinOpsSettle(var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinReadStatus(var S: TMoldrinOpsStatus; var R: TMoldrinOpsResult): Integer;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;
function MoldrinOpsResultText(Status: Integer): PAnsiChar;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MoldrinOpsLib;

implementation

end.
