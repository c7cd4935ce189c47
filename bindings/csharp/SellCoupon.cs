// A whole coupon sold with the typed operations: opened for a buyer, three items (one
// by weight), a discount, paid by card and in cash, closed. Run it with a printer (or
// `moldrin sim`) on COM1 and the application registered for it
// (`moldrin register --from-printer --port 1`).
using System;
using Moldrin;

static class SellCoupon
{
    static int Main()
    {
        try
        {
            using (new Session(1, 5))
            {
                var coupon = Ops.OpenCoupon("12345678909");
                Console.WriteLine("coupon " + coupon.Ccf + " COO " + coupon.Coo);
                Ops.SellItem("7891234560012", "ARROZ TIPO 1 5KG", 2m, "un", 21.90m, "T01");
                Ops.SellItem("2000123000450", "QUEIJO PRATO", 0.350m, "Kg", 45.900m, "T03", 3);
                var milk = Ops.SellItem("7896543210987", "LEITE INTEGRAL 1L", 2m, "l", 4.59m, "F");
                Ops.ItemDiscount(0.50m);
                Console.WriteLine("item " + milk.ItemNumber + " subtotal " + Ops.ReadStatus().Subtotal);
                Ops.Pay(3, 20.00m);
                Console.WriteLine("change " + Ops.Pay(1, 50.00m).Change);
                Ops.CloseCoupon("OBRIGADO PELA PREFERENCIA");
            }
        }
        catch (MoldrinException e)
        {
            Console.WriteLine(e.Message);
            return 1;
        }
        return 0;
    }
}
