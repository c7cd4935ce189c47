// Moldrin typed fiscal operations for C#: the calls of moldrin_ops.h by P/Invoke
// (MoldrinOps.dll on Windows, libmoldrin_ops.so elsewhere), money and quantities as decimal, failures as
// OpsException with the library's reason and the field at fault.
using System;
using System.Runtime.InteropServices;

namespace Moldrin
{
    /// <summary>A typed operation failed: Status (Ops.BadArgument, Ops.Refused...), the Field
    /// at fault, the Reason, the reply and the printer's code.</summary>
    public class OpsException : MoldrinException
    {
        public int Status { get; }
        public string Field { get; }
        public int PrinterCode { get; }

        internal OpsException(string call, int status, string field, string reason, string reply, int printerCode)
            : base(call, status, reply, reason)
        {
            Status = status;
            Field = field;
            PrinterCode = printerCode;
        }

        public override string Message => Call + ": " + Reason;
    }

    /// <summary>What an operation read back.</summary>
    public class OpsResult
    {
        public string Reply;
        public int PrinterCode;
        public bool Recovered;   // the reply was lost and the printer showed it had carried the command out
        public int Resent;
        public uint ItemNumber, Coo, Ccf, Gnf, Crz;
        public decimal Subtotal, Change;
    }

    /// <summary>What a point of sale reads of the printer (MoldrinOpsStatus).</summary>
    public class OpsStatus
    {
        public uint Coo, Ccf, Gnf, Crz;
        public decimal GrandTotal, GrossDailySale, Cancellations, Discounts, Increases, Subtotal;
        public decimal[] Payments = new decimal[10];
        public string FiscalDate, Clock, FactoryNumber, Paper;
        public char ModelLetter;
        public bool Extended, LastRefused;
        public int Document;     // 0 none, 1 coupon, 2 non-fiscal receipt
        public uint Items, LastReplyCode;
        public int LastCommand;
    }

    public static class Ops
    {
        public const int Ok = 0, NoSession = -1, BadArgument = -2, Refused = -3, NotDelivered = -4, Undecided = -5;

        [StructLayout(LayoutKind.Sequential)]
        struct Result
        {
            public int Status;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 32)] public byte[] Field;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 256)] public byte[] Reason;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 132)] public byte[] Reply;
            public int PrinterCode, Recovered, Resent;
            public uint ItemNumber, Coo, Ccf, Gnf, Crz;
            public long Subtotal, Change;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct Status
        {
            public uint Coo, Ccf, Gnf, Crz;
            public long GrandTotal, GrossDailySale, Cancellations, Discounts, Increases;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 10)] public long[] Payments;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)] public byte[] FiscalDate;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 11)] public byte[] Clock;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 10)] public byte[] FactoryNumber;
            public byte ModelLetter;
            public int Extended, Document;
            public uint Items;
            public long Subtotal;
            public int LastCommand, LastRefused;
            public uint LastReplyCode;
            [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Paper;
        }

        // The library is MoldrinOps.dll on Windows and libmoldrin_ops.so elsewhere: names no
        // one DllImport finds on both (Windows would look for moldrin_ops.dll, Linux for
        // libMoldrinOps.so), so each system has its own declarations and the calls pick one.
        static class Native
        {
            static readonly bool Windows = Environment.OSVersion.Platform == PlatformID.Win32NT;
            const CallingConvention Std = CallingConvention.StdCall;

            public static int MoldrinOpenCoupon(byte[] buyer, out Result r) =>
                Windows ? Win.MoldrinOpenCoupon(buyer, out r) : Unix.MoldrinOpenCoupon(buyer, out r);
            public static int MoldrinSetBuyer(byte[] buyer, out Result r) =>
                Windows ? Win.MoldrinSetBuyer(buyer, out r) : Unix.MoldrinSetBuyer(buyer, out r);
            public static int MoldrinSellItem(byte[] code, byte[] description, long quantity, byte[] unit, long unitPrice, int priceDecimals, byte[] taxCode, out Result r) =>
                Windows ? Win.MoldrinSellItem(code, description, quantity, unit, unitPrice, priceDecimals, taxCode, out r) : Unix.MoldrinSellItem(code, description, quantity, unit, unitPrice, priceDecimals, taxCode, out r);
            public static int MoldrinItemDiscount(long amount, out Result r) =>
                Windows ? Win.MoldrinItemDiscount(amount, out r) : Unix.MoldrinItemDiscount(amount, out r);
            public static int MoldrinCancelItem(int item, out Result r) =>
                Windows ? Win.MoldrinCancelItem(item, out r) : Unix.MoldrinCancelItem(item, out r);
            public static int MoldrinSubtotalDiscount(long amount, out Result r) =>
                Windows ? Win.MoldrinSubtotalDiscount(amount, out r) : Unix.MoldrinSubtotalDiscount(amount, out r);
            public static int MoldrinSubtotalIncrease(long amount, out Result r) =>
                Windows ? Win.MoldrinSubtotalIncrease(amount, out r) : Unix.MoldrinSubtotalIncrease(amount, out r);
            public static int MoldrinPay(int method, long amount, out Result r) =>
                Windows ? Win.MoldrinPay(method, amount, out r) : Unix.MoldrinPay(method, amount, out r);
            public static int MoldrinCloseCoupon(byte[] message, out Result r) =>
                Windows ? Win.MoldrinCloseCoupon(message, out r) : Unix.MoldrinCloseCoupon(message, out r);
            public static int MoldrinCancelCoupon(out Result r) =>
                Windows ? Win.MoldrinCancelCoupon(out r) : Unix.MoldrinCancelCoupon(out r);
            public static int MoldrinNonFiscalReceipt(int totalizer, int method, long amount, byte[] text, out Result r) =>
                Windows ? Win.MoldrinNonFiscalReceipt(totalizer, method, amount, text, out r) : Unix.MoldrinNonFiscalReceipt(totalizer, method, amount, text, out r);
            public static int MoldrinXReading(out Result r) =>
                Windows ? Win.MoldrinXReading(out r) : Unix.MoldrinXReading(out r);
            public static int MoldrinZReduction(out Result r) =>
                Windows ? Win.MoldrinZReduction(out r) : Unix.MoldrinZReduction(out r);
            public static int MoldrinOpsSettle(out Result r) =>
                Windows ? Win.MoldrinOpsSettle(out r) : Unix.MoldrinOpsSettle(out r);
            public static int MoldrinReadStatus(out Status s, out Result r) =>
                Windows ? Win.MoldrinReadStatus(out s, out r) : Unix.MoldrinReadStatus(out s, out r);

            static class Win
            {
                const string Lib = "MoldrinOps.dll";
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinOpenCoupon(byte[] buyer, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSetBuyer(byte[] buyer, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSellItem(byte[] code, byte[] description, long quantity, byte[] unit, long unitPrice, int priceDecimals, byte[] taxCode, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinItemDiscount(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCancelItem(int item, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSubtotalDiscount(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSubtotalIncrease(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinPay(int method, long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCloseCoupon(byte[] message, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCancelCoupon(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinNonFiscalReceipt(int totalizer, int method, long amount, byte[] text, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinXReading(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinZReduction(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinOpsSettle(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinReadStatus(out Status s, out Result r);
            }

            static class Unix
            {
                const string Lib = "moldrin_ops";
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinOpenCoupon(byte[] buyer, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSetBuyer(byte[] buyer, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSellItem(byte[] code, byte[] description, long quantity, byte[] unit, long unitPrice, int priceDecimals, byte[] taxCode, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinItemDiscount(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCancelItem(int item, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSubtotalDiscount(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinSubtotalIncrease(long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinPay(int method, long amount, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCloseCoupon(byte[] message, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinCancelCoupon(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinNonFiscalReceipt(int totalizer, int method, long amount, byte[] text, out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinXReading(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinZReduction(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinOpsSettle(out Result r);
                [DllImport(Lib, CallingConvention = Std)] public static extern int MoldrinReadStatus(out Status s, out Result r);
            }
        }

        static byte[] Text(string s) => Cp1252.Encode(s ?? "");
        static decimal Money(long cents) => cents / 100m;

        // value in whole 10^-places, refusing what has finer digits.
        static long Scaled(decimal value, int places, string field, string call)
        {
            decimal scaled = value;
            for (int i = 0; i < places; i++) scaled *= 10;
            if (scaled != decimal.Truncate(scaled) || scaled > long.MaxValue || scaled < long.MinValue)
                throw new OpsException(call, BadArgument, field, field + ": " + value + " has more than " + places +
                                       " decimals", "", -1);
            return (long)scaled;
        }

        static OpsResult Done(string call, int status, Result r)
        {
            if (status != Ok)
                throw new OpsException(call, status, Cp1252.Decode(r.Field), Cp1252.Decode(r.Reason),
                                       Cp1252.Decode(r.Reply), r.PrinterCode);
            return new OpsResult {
                Reply = Cp1252.Decode(r.Reply), PrinterCode = r.PrinterCode, Recovered = r.Recovered != 0,
                Resent = r.Resent, ItemNumber = r.ItemNumber, Coo = r.Coo, Ccf = r.Ccf, Gnf = r.Gnf, Crz = r.Crz,
                Subtotal = Money(r.Subtotal), Change = Money(r.Change) };
        }

        /// <summary>Opens a coupon; buyer: CPF (11 digits), CNPJ (14) or "".</summary>
        public static OpsResult OpenCoupon(string buyer = "")
        {
            int s = Native.MoldrinOpenCoupon(Text(buyer), out Result r);
            return Done("MoldrinOpenCoupon", s, r);
        }

        public static OpsResult SetBuyer(string buyer)
        {
            int s = Native.MoldrinSetBuyer(Text(buyer), out Result r);
            return Done("MoldrinSetBuyer", s, r);
        }

        /// <summary>Sells an item (a coupon is opened first when none is open): quantity in units,
        /// unit "un", "Kg", "m" or "l", price per unit with 2 or 3 decimals, tax "T01", "S04", "I", "N", "F".</summary>
        public static OpsResult SellItem(string code, string description, decimal quantity, string unit, decimal price,
                                         string tax, int decimals = 2)
        {
            const string call = "MoldrinSellItem";
            int s = Native.MoldrinSellItem(Text(code), Text(description), Scaled(quantity, 3, "quantity", call),
                                           Text(unit), Scaled(price, decimals == 3 ? 3 : 2, "price", call), decimals,
                                           Text(tax), out Result r);
            return Done(call, s, r);
        }

        public static OpsResult ItemDiscount(decimal amount)
        {
            int s = Native.MoldrinItemDiscount(Scaled(amount, 2, "amount", "MoldrinItemDiscount"), out Result r);
            return Done("MoldrinItemDiscount", s, r);
        }

        /// <summary>Cancels item number n of the open coupon, or the last one with 0.</summary>
        public static OpsResult CancelItem(int itemNumber = 0)
        {
            int s = Native.MoldrinCancelItem(itemNumber, out Result r);
            return Done("MoldrinCancelItem", s, r);
        }

        public static OpsResult SubtotalDiscount(decimal amount)
        {
            int s = Native.MoldrinSubtotalDiscount(Scaled(amount, 2, "amount", "MoldrinSubtotalDiscount"), out Result r);
            return Done("MoldrinSubtotalDiscount", s, r);
        }

        public static OpsResult SubtotalIncrease(decimal amount)
        {
            int s = Native.MoldrinSubtotalIncrease(Scaled(amount, 2, "amount", "MoldrinSubtotalIncrease"), out Result r);
            return Done("MoldrinSubtotalIncrease", s, r);
        }

        /// <summary>A payment by method 1 to 10; Change is what goes back to the buyer.</summary>
        public static OpsResult Pay(int method, decimal amount)
        {
            int s = Native.MoldrinPay(method, Scaled(amount, 2, "amount", "MoldrinPay"), out Result r);
            return Done("MoldrinPay", s, r);
        }

        public static OpsResult CloseCoupon(string message = "")
        {
            int s = Native.MoldrinCloseCoupon(Text(message), out Result r);
            return Done("MoldrinCloseCoupon", s, r);
        }

        public static OpsResult CancelCoupon()
        {
            int s = Native.MoldrinCancelCoupon(out Result r);
            return Done("MoldrinCancelCoupon", s, r);
        }

        public static OpsResult NonFiscalReceipt(int totalizer, int method, decimal amount, string text = "")
        {
            int s = Native.MoldrinNonFiscalReceipt(totalizer, method, Scaled(amount, 2, "amount", "MoldrinNonFiscalReceipt"),
                                                   Text(text), out Result r);
            return Done("MoldrinNonFiscalReceipt", s, r);
        }

        public static OpsResult XReading()
        {
            int s = Native.MoldrinXReading(out Result r);
            return Done("MoldrinXReading", s, r);
        }

        /// <summary>Closes the fiscal day; with the capture on the day's fiscal file is made first.</summary>
        public static OpsResult ZReduction()
        {
            int s = Native.MoldrinZReduction(out Result r);
            return Done("MoldrinZReduction", s, r);
        }

        /// <summary>Settles a command left undecided without sending anything new.</summary>
        public static OpsResult Settle()
        {
            int s = Native.MoldrinOpsSettle(out Result r);
            return Done("MoldrinOpsSettle", s, r);
        }

        public static OpsStatus ReadStatus()
        {
            int code = Native.MoldrinReadStatus(out Status s, out Result r);
            Done("MoldrinReadStatus", code, r);
            var st = new OpsStatus {
                Coo = s.Coo, Ccf = s.Ccf, Gnf = s.Gnf, Crz = s.Crz, GrandTotal = Money(s.GrandTotal),
                GrossDailySale = Money(s.GrossDailySale), Cancellations = Money(s.Cancellations),
                Discounts = Money(s.Discounts), Increases = Money(s.Increases), Subtotal = Money(s.Subtotal),
                FiscalDate = Cp1252.Decode(s.FiscalDate), Clock = Cp1252.Decode(s.Clock),
                FactoryNumber = Cp1252.Decode(s.FactoryNumber), Paper = Cp1252.Decode(s.Paper),
                ModelLetter = (char)s.ModelLetter, Extended = s.Extended != 0, LastRefused = s.LastRefused != 0,
                Document = s.Document, Items = s.Items, LastReplyCode = s.LastReplyCode, LastCommand = s.LastCommand };
            for (int i = 0; i < 10; i++) st.Payments[i] = Money(s.Payments[i]);
            return st;
        }
    }
}
