// Moldrin for C#: the eleven calls of moldrin.h by P/Invoke, texts as Windows-1252,
// the operator as delegates kept alive while installed, and a session class for `using`.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Moldrin
{
    /// <summary>A call failed: its name, its result code, the reply the library left, and why
    /// (the lines the library logged for the call, or what the binding knows; may be empty).</summary>
    public class MoldrinException : Exception
    {
        public string Call { get; }
        public int Code { get; }
        public string Reply { get; }
        public string Reason { get; }

        public MoldrinException(string call, int code, string reply = "", string reason = "")
            : base(call + " returned " + code + (string.IsNullOrEmpty(reply) ? "" : ", reply " + reply) +
                   (string.IsNullOrEmpty(reason) ? "" : ": " + reason))
        {
            Call = call;
            Code = code;
            Reply = reply;
            Reason = reason ?? "";
        }
    }

    /// <summary>Why a call failed, from the traffic log and the files the library keeps.</summary>
    public static class Reasons
    {
        /// <summary>Where a path the library names (c:\TEMP\...) lives: as it is on Windows; elsewhere
        /// under $MOLDRIN_ROOT (default ~/.moldrin), c:\X\Y being ROOT/c/X/Y.</summary>
        public static string HostPath(string windowsPath)
        {
            if (System.IO.Path.DirectorySeparatorChar == '\\' || windowsPath.Length < 2 || windowsPath[1] != ':')
                return windowsPath;
            string root = Environment.GetEnvironmentVariable("MOLDRIN_ROOT");
            if (string.IsNullOrEmpty(root))
                root = System.IO.Path.Combine(Environment.GetEnvironmentVariable("HOME") ?? "/tmp", ".moldrin");
            return root + "/" + char.ToLowerInvariant(windowsPath[0]) + windowsPath.Substring(2).Replace('\\', '/');
        }

        internal static string LogFile()
        {
            var buf = new byte[Native.LogPathSize];
            if (Native.ECFPathLog(buf) != 0 || buf[1] != (byte)':') return null;
            return HostPath(Cp1252.Decode(buf));
        }

        internal static long LogSize()
        {
            string file = LogFile();
            try { return file != null && System.IO.File.Exists(file) ? new System.IO.FileInfo(file).Length : -1; }
            catch (Exception) { return -1; }
        }

        /// <summary>The log's lines from byte <c>since</c>, without their time stamps.</summary>
        internal static List<string> LogLines(long since)
        {
            var lines = new List<string>();
            string file = LogFile();
            if (file == null || since < 0) return lines;
            byte[] data;
            try
            {
                using (var f = System.IO.File.OpenRead(file))
                {
                    if (since > f.Length) return lines;
                    f.Seek(since, System.IO.SeekOrigin.Begin);
                    data = new byte[f.Length - since];
                    int n = 0;
                    while (n < data.Length) { int k = f.Read(data, n, data.Length - n); if (k <= 0) break; n += k; }
                }
            }
            catch (Exception) { return lines; }
            foreach (string raw in Cp1252.DecodeAll(data).Split(new[] { "\r\n" }, StringSplitOptions.RemoveEmptyEntries))
            {
                int stamp = raw.IndexOf(" == ", StringComparison.Ordinal);
                string line = stamp >= 0 && stamp < 24 ? raw.Substring(stamp + 4) : raw;
                if (line.Trim().Length > 0) lines.Add(line);
            }
            return lines;
        }

        internal static string OpenFailure(int port, uint timeout, Session open)
        {
            if (open != null) return "a session of this process is open on COM" + open.Port + ": close it first";
            if (port == 0) return "port 0: ports count from 1 (COM1)";
            if (timeout < 1 || timeout > 60) return "time-out " + timeout + ": 1 to 60 seconds";
            var lines = LogLines(0);
            int banner = lines.FindLastIndex(l => l.StartsWith("<<< Moldrin.DLL - Versao", StringComparison.Ordinal));
            if (banner < 0) return "the traffic log tells no reason (log mode 0?)";
            var told = new List<string>();
            foreach (string l in lines.GetRange(banner + 1, lines.Count - banner - 1))
                if (!l.StartsWith("LOG habilitado") && !l.Contains("mostra CAIXA DE DIALOGO") &&
                    !l.StartsWith("Mostra CAIXA") && !l.StartsWith("Timeout informado"))
                    told.Add(l);
            return told.Count > 0 ? string.Join(" / ", told) : "the traffic log tells no reason";
        }

        internal static string ForReply(string reply, List<string> logged, int port)
        {
            var parts = new List<string>();
            if (reply == ".-P006}" && !System.IO.File.Exists(HostPath("c:\\TALMA\\RFD\\E00.BIN")) &&
                !System.IO.File.Exists(HostPath("c:\\TALMA\\talma.ini")))
                parts.Add("the fiscal capture refuses fiscal commands until the application's registration " +
                          "c:\\TALMA\\RFD\\E00.BIN exists (moldrin register --from-printer --port " + port + ")");
            else if (reply == ".-P002}") parts.Add("the command did not reach the printer");
            else if (reply == ".-P006}") parts.Add("no valid reply came, or the fiscal capture refused the command");
            else if (reply == ".-P666}") parts.Add("the fiscal capture could not take its lock");
            if (logged.Count > 0) parts.Add("traffic log: " + logged[logged.Count - 1]);
            return string.Join("; ", parts);
        }
    }

    /// <summary>Windows-1252 both ways, without depending on the runtime's code page tables.</summary>
    public static class Cp1252
    {
        static readonly char[] High = {
            '\u20AC', '\uFFFD', '\u201A', '\u0192', '\u201E', '\u2026', '\u2020', '\u2021', '\u02C6', '\u2030', '\u0160',
            '\u2039', '\u0152', '\uFFFD', '\u017D', '\uFFFD', '\uFFFD', '\u2018', '\u2019', '\u201C', '\u201D', '\u2022',
            '\u2013', '\u2014', '\u02DC', '\u2122', '\u0161', '\u203A', '\u0153', '\uFFFD', '\u017E', '\u0178' };

        /// <summary>The text's bytes with a terminating NUL; characters without a form become '?'.</summary>
        public static byte[] Encode(string text)
        {
            var bytes = new byte[text.Length + 1];
            for (int i = 0; i < text.Length; i++)
            {
                char c = text[i];
                int b = '?';
                if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) b = c;
                else if (c != '\uFFFD' && Array.IndexOf(High, c) >= 0) b = 0x80 + Array.IndexOf(High, c);
                bytes[i] = (byte)b;
            }
            return bytes;
        }

        public static string Decode(byte[] bytes)
        {
            var sb = new StringBuilder();
            foreach (byte b in bytes)
            {
                if (b == 0) break;
                sb.Append(b >= 0x80 && b < 0xA0 ? High[b - 0x80] : (char)b);
            }
            return sb.ToString();
        }

        /// <summary>Every byte, NULs included (a file's text).</summary>
        public static string DecodeAll(byte[] bytes)
        {
            var sb = new StringBuilder(bytes.Length);
            foreach (byte b in bytes) sb.Append(b >= 0x80 && b < 0xA0 ? High[b - 0x80] : (char)b);
            return sb.ToString();
        }

        public static string Decode(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int n = 0;
            while (Marshal.ReadByte(text, n) != 0) n++;
            var bytes = new byte[n];
            Marshal.Copy(text, bytes, 0, n);
            return Decode(bytes);
        }
    }

    /// <summary>The registration fields of the identification dialog (MoldrinIdentification).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct Identification
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 3)] public byte[] OrderNumber;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 11)] public byte[] AppVersion;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 41)] public byte[] AppName;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 85)] public byte[] ProgramData;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 15)] public byte[] DeveloperId;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 15)] public byte[] StateReg;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 15)] public byte[] CityReg;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 41)] public byte[] SoftwareHouse;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)] public byte[] Coo;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 10)] public byte[] FactoryNumber;
    }

    // The operator callbacks are plain C (cdecl) on every system, 32-bit Windows included.
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)] public delegate void InfoBoxFn(IntPtr context, IntPtr text);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)] public delegate int QuestionBoxFn(IntPtr context, IntPtr text);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate int MessageBoxFn(IntPtr context, IntPtr text, IntPtr caption, uint style);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    public delegate int IdentifyFn(IntPtr context, IntPtr caption, IntPtr fields);

    [StructLayout(LayoutKind.Sequential)]
    struct OperatorHooks
    {
        public IntPtr Context, InfoBox, QuestionBox, MessageBox, Identify;
    }

    /// <summary>The exported calls as they stand (moldrin.h documents each).</summary>
    public static class Native
    {
        // "moldrin" is libmoldrin.so on Linux and Moldrin.dll on Windows.
        const string Lib = "moldrin";
        const CallingConvention Std = CallingConvention.StdCall;

        public const int ReplySize = 1728, LogPathSize = 260, VersionSize = 1025;

        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFOpen(int port, uint timeoutSeconds, uint logMode, int showDialogs);
        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFClose();
        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFWrite(byte[] command);
        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFRead(byte[] buffer, uint length);
        [DllImport(Lib, CallingConvention = Std)] public static extern int SetTimeoutRead(uint seconds);
        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFPathLog(byte[] buffer);
        [DllImport(Lib, CallingConvention = Std)] public static extern int ECFswLFs();
        [DllImport(Lib, CallingConvention = Std)] public static extern int SetTesteCTS(int enabled);
        [DllImport(Lib, CallingConvention = CallingConvention.Cdecl)] public static extern int ECFTxFast(byte[] bytes, uint count);
        [DllImport(Lib, CallingConvention = Std)] public static extern void SistemaGetVersion(byte[] buffer);
        [DllImport(Lib, CallingConvention = Std)] internal static extern void ECFSetOperator(ref OperatorHooks op);
        [DllImport(Lib, CallingConvention = Std, EntryPoint = "ECFSetOperator")] internal static extern void ECFSetDefaultOperator(IntPtr none);
    }

    /// <summary>The operator: how the library's boxes reach a person.</summary>
    public static class Operator
    {
        // The library may show a box when it closes a session left open at unload, after the
        // runtime has gone: the default operator is back before that.
        static Operator()
        {
            AppDomain.CurrentDomain.ProcessExit += (sender, args) => Native.ECFSetDefaultOperator(IntPtr.Zero);
        }

        // The library keeps only the function pointers: the delegates must outlive their installation.
        static InfoBoxFn info;
        static QuestionBoxFn question;
        static MessageBoxFn message;
        static IdentifyFn identify;

        /// <summary>Installs the given callbacks; a null one keeps the library's own behaviour for
        /// that kind of message. Texts arrive decoded from Windows-1252.</summary>
        /// <param name="identify">gets the caption and the pre-filled fields; returns the fields to
        /// keep, or null to cancel.</param>
        public static void Install(Action<string> infoBox, Func<string, bool> questionBox = null,
                                   Func<string, string, uint, int> messageBox = null,
                                   Func<string, Identification, Identification?> identify = null)
        {
            var hooks = new OperatorHooks();
            info = infoBox == null ? null : new InfoBoxFn((ctx, text) => infoBox(Cp1252.Decode(text)));
            question = questionBox == null ? null : new QuestionBoxFn((ctx, text) => questionBox(Cp1252.Decode(text)) ? 1 : 0);
            message = messageBox == null ? null
                : new MessageBoxFn((ctx, text, caption, style) => messageBox(Cp1252.Decode(text), Cp1252.Decode(caption), style));
            Operator.identify = identify == null ? null : new IdentifyFn((ctx, caption, fields) =>
            {
                var given = (Identification)Marshal.PtrToStructure(fields, typeof(Identification));
                Identification? kept = identify(Cp1252.Decode(caption), given);
                if (kept == null) return 0;
                Marshal.StructureToPtr(kept.Value, fields, false);
                return 1;
            });
            if (info != null) hooks.InfoBox = Marshal.GetFunctionPointerForDelegate(info);
            if (question != null) hooks.QuestionBox = Marshal.GetFunctionPointerForDelegate(question);
            if (message != null) hooks.MessageBox = Marshal.GetFunctionPointerForDelegate(message);
            if (Operator.identify != null) hooks.Identify = Marshal.GetFunctionPointerForDelegate(Operator.identify);
            Native.ECFSetOperator(ref hooks);
        }

        /// <summary>The library's own operator again.</summary>
        public static void Reset()
        {
            Native.ECFSetDefaultOperator(IntPtr.Zero);
            info = null;
            question = null;
            message = null;
            identify = null;
        }
    }

    /// <summary>The one session of the process on COM<c>port</c> (1-based); Dispose closes it.</summary>
    public sealed class Session : IDisposable
    {
        static readonly object Gate = new object();
        static Session open;
        bool closed;

        /// <summary>The COM port number of the session.</summary>
        public int Port { get; }

        /// <summary>timeoutSeconds 1 to 60; logMode 0 none, 1 weekly, 2+ size limit in KB.</summary>
        public Session(int port, uint timeoutSeconds = 10, uint logMode = 500, bool showDialogs = false)
        {
            Port = port;
            lock (Gate)
            {
                int code = Native.ECFOpen(port, timeoutSeconds, logMode, showDialogs ? 1 : 0);
                if (code != 0)
                {
                    // Read before ECFClose, which takes the log's path with the session.
                    string reason = Reasons.OpenFailure(port, timeoutSeconds, open);
                    // A failed open blocks every later one until ECFClose, unless our own session is open.
                    if (open == null) Native.ECFClose();
                    throw new MoldrinException("ECFOpen", code, "", reason);
                }
                open = this;
            }
        }

        public static string Version()
        {
            var buf = new byte[Native.VersionSize];
            Native.SistemaGetVersion(buf);
            return Cp1252.Decode(buf);
        }

        /// <summary>A reply the library made up for a command not delivered, not answered or refused.</summary>
        public static bool IsFailureReply(string reply) =>
            reply == ".-P002}" || reply == ".-P006}" || reply == ".-P666}" ||
            (reply.StartsWith(".-") && reply.Length > 13 && reply.Substring(6, 7) == "ERRO - ");

        public void Write(string command) => WriteLogged(command);

        List<string> WriteLogged(string command)
        {
            long before = Reasons.LogSize();
            int code = Native.ECFWrite(Cp1252.Encode(command));
            var logged = Reasons.LogLines(before);
            if (code != 0)
            {
                string reply = Read();
                throw new MoldrinException("ECFWrite", code, reply, Reasons.ForReply(reply, logged, Port));
            }
            return logged;
        }

        public string Read()
        {
            var buf = new byte[Native.ReplySize];
            int code = Native.ECFRead(buf, (uint)buf.Length);
            if (code != 0) throw new MoldrinException("ECFRead", code);
            return Cp1252.Decode(buf);
        }

        /// <summary>Write and Read; a failure reply raises with that reply.</summary>
        public string Send(string command)
        {
            var logged = WriteLogged(command);
            string reply = Read();
            if (IsFailureReply(reply)) throw new MoldrinException("ECFWrite", 0, reply, Reasons.ForReply(reply, logged, Port));
            return reply;
        }

        /// <summary>1 to 60 s; a refused value raises with code 1 and keeps the time-out.</summary>
        public void SetTimeout(uint seconds)
        {
            int code = Native.SetTimeoutRead(seconds);
            if (code != 0) throw new MoldrinException("SetTimeoutRead", code);
        }

        public string LogPath()
        {
            var buf = new byte[Native.LogPathSize];
            int code = Native.ECFPathLog(buf);
            if (code != 0) throw new MoldrinException("ECFPathLog", code);
            return Cp1252.Decode(buf);
        }

        public void Dispose()
        {
            lock (Gate)
            {
                if (closed) return;
                closed = true;
                if (open == this) open = null;
                Native.ECFClose();
            }
        }
    }
}
