{ A whole coupon sold with the typed operations: opened for a buyer, three items (one by
  weight), a discount, paid by card and in cash, closed. Run it with a printer (or
  `moldrin sim`) on COM1 and the application registered for it
  (`moldrin register --from-printer --port 1`). }
program SellCoupon;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

uses Moldrin, MoldrinOps;

var
  R: TMoldrinOpsResult;

procedure Check(Status: Integer; const Call: string);
begin
  if Status = MOLDRIN_OPS_OK then Exit;
  WriteLn(Call, ': ', PAnsiChar(@R.Reason[0]));
  ECFClose;
  Halt(1);
end;

begin
  if ECFOpen(1, 5, 500, 0) <> 0 then begin ECFClose; Halt(1); end;
  Check(MoldrinOpenCoupon('12345678909', R), 'open');
  WriteLn('coupon ', R.Ccf, ' COO ', R.Coo);
  Check(MoldrinSellItem('7891234560012', 'ARROZ TIPO 1 5KG', 2000, 'un', 2190, 2, 'T01', R), 'rice');
  Check(MoldrinSellItem('2000123000450', 'QUEIJO PRATO', 350, 'Kg', 45900, 3, 'T03', R), 'cheese');
  Check(MoldrinSellItem('7896543210987', 'LEITE INTEGRAL 1L', 2000, 'l', 459, 2, 'F', R), 'milk');
  Check(MoldrinItemDiscount(50, R), 'discount');
  WriteLn('subtotal ', R.Subtotal);
  Check(MoldrinPay(3, 2000, R), 'card');
  Check(MoldrinPay(1, 5000, R), 'cash');
  WriteLn('change ', R.Change);
  Check(MoldrinCloseCoupon('OBRIGADO PELA PREFERENCIA', R), 'close');
  ECFClose;
end.
