// The typed operations of the C# binding, with the fiscal capture on, after SellCoupon
// sold its coupon: bad arguments named, a refusal's reason, then the Z reduction and the
// coupon read back from the day's fiscal file (E14, E15, E21).
using System;
using System.IO;
using System.Linq;
using Moldrin;

static class TestOps
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        if (ok) passed++;
        else { failed++; Console.WriteLine("FAIL: " + what); }
    }

    static OpsException Throws(Action action)
    {
        try { action(); }
        catch (OpsException e) { return e; }
        return null;
    }

    // Columns first..last, 1-based and inclusive, as the record layouts count them.
    static string Col(string line, int first, int last) => line.Substring(first - 1, last - first + 1);

    static int Main()
    {
        using (new Session(1, 5))
        {
            var e = Throws(() => Ops.OpenCoupon("123"));
            Check(e != null && e.Status == Ops.BadArgument && e.Field == "buyer", "short CPF named");
            e = Throws(() => Ops.SellItem("1", "PAO", 1m, "cx", 1m, "T01"));
            Check(e != null && e.Field == "unit" && e.Reason.StartsWith("unit:"), "unknown unit named");
            e = Throws(() => Ops.SellItem("1", "PAO", 1.0001m, "un", 1m, "T01"));
            Check(e != null && e.Field == "quantity", "a quantity finer than thousandths named");
            e = Throws(() => Ops.CloseCoupon());
            Check(e != null && e.Status == Ops.Refused && e.PrinterCode == 11 && e.Message.Contains("not allowed now"),
                  "refusal with its reason: " + e?.Message);

            var status = Ops.ReadStatus();
            Check(status.Ccf == 1 && status.Document == 0 && status.Payments[0] == 48.54m,
                  "status after the example's coupon");
            var z = Ops.ZReduction();
            Check(z.Crz == status.Crz + 1, "Z reduction counted");
        }
        Check(Throws(() => Ops.XReading())?.Status == Ops.NoSession, "no session said so");

        string finished = Path.Combine(Environment.GetEnvironmentVariable("MOLDRIN_ROOT"), "c", "TALMA", "RFD",
                                       "S E F A Z - ArqDigital = [CD] & [Transmitir]");
        var files = Directory.GetFiles(finished);
        Check(files.Length == 1, "one fiscal file");
        if (files.Length == 1)
        {
            var lines = File.ReadAllLines(files[0]);
            var e14 = lines.Where(l => l.StartsWith("E14")).Select(l => Col(l, 47, 52) + "|" + Col(l, 53, 58) + "|" +
                                                                       Col(l, 67, 80) + "|" + Col(l, 178, 191)).ToArray();
            Check(e14.SequenceEqual(new[] { "000001|000002|00000000006854|00012345678909" }), "E14: " + string.Join(",", e14));
            var e15 = lines.Where(l => l.StartsWith("E15")).Select(l => Col(l, 62, 75) + "|" + Col(l, 183, 185) + "|" +
                                                                       Col(l, 194, 201) + "|" + Col(l, 210, 223)).ToArray();
            Check(e15.SequenceEqual(new[] { "7891234560012 |un |00000000|00000000004380",
                                            "2000123000450 |Kg |00000000|00000000001606",
                                            "7896543210987 |l  |00000050|00000000000868" }), "E15: " + string.Join(",", e15));
            var e21 = lines.Where(l => l.StartsWith("E21")).Select(l => Col(l, 65, 79) + "|" + Col(l, 80, 92)).ToArray();
            Check(e21.SequenceEqual(new[] { "Dinheiro       |0000000004854", "Cartao         |0000000002000" }),
                  "E21: " + string.Join(",", e21));
        }
        Console.WriteLine("typed operations: " + passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
