// The C# binding against the printer simulator on COM1 (run by
// bindings/run_with_simulator.sh): a session, failing calls' codes, the operator.
using System;
using System.Collections.Generic;
using Moldrin;

static class TestMoldrin
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        if (ok) passed++;
        else { failed++; Console.WriteLine("FAIL: " + what); }
    }

    static MoldrinException Throws(Action action)
    {
        try { action(); }
        catch (MoldrinException e) { return e; }
        return null;
    }

    static int Main()
    {
        Check(Session.Version() == "Moldrin 3, 0, 0, 19", "version text");

        using (var ecf = new Session(1, 5))
        {
            string reply = ecf.Send("\u001B.271}");
            Check(reply.StartsWith(".+C") && reply.Length == 128, "status reply: " + reply);
            Check(ecf.Read() == reply, "reading twice gives the same reply");
            Check(ecf.LogPath().StartsWith("c:\\TEMP\\ECF-"), "log path");

            var refused = Throws(() => ecf.SetTimeout(61));
            Check(refused != null && refused.Call == "SetTimeoutRead" && refused.Code == 1, "time-out 61 refused with 1");
            var malformed = Throws(() => ecf.Send(".28}"));
            Check(malformed != null && malformed.Code == -1 && malformed.Reply == ".-P002}", "malformed command: -1, .-P002}");
            Check(malformed != null && malformed.Reason.Contains("did not reach the printer") &&
                  malformed.Reason.Contains("traffic log: "), "the reason of a refused command: " + malformed?.Reason);
            Check(Native.ECFRead(new byte[2048], 2048) == -1, "ECFRead refuses length 2048");
            Check(Native.ECFRead(new byte[132], 132) == 0, "ECFRead takes length 132");
        }
        Check(Native.ECFWrite(Cp1252.Encode("\u001B.28}")) == -1, "no session: -1");

        // A port whose device is not there: the reason is the library's own log lines.
        Environment.SetEnvironmentVariable("MOLDRIN_COM3",
            "unix:" + Environment.GetEnvironmentVariable("MOLDRIN_WORK") + "/no-such-line");
        var missing = Throws(() => new Session(3, 5));
        Check(missing != null && missing.Reason.Contains("CONFLITO DE PORTA NO SISTEMA") &&
              missing.Message.Contains("CONFLITO DE PORTA"), "the reason of a failed open: " + missing?.Message);
        var zero = Throws(() => new Session(1, 0));
        Check(zero != null && zero.Reason.Contains("time-out 0"), "the reason of time-out 0: " + zero?.Reason);

        var boxes = new List<string>();
        Operator.Install(text => boxes.Add(text));
        GC.Collect();  // the installed delegates must survive a collection
        GC.WaitForPendingFinalizers();
        var tooLong = Throws(() => new Session(1, 61, 500, true));
        Check(tooLong != null && tooLong.Code == -1, "time-out 61 fails the open");
        Check(boxes.Count == 1 && boxes[0] == "ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = 61", "the operator got the box");
        using (var ecf = new Session(1, 5, 500, true))
        {
            var second = Throws(() => new Session(1, 5, 500, true));
            Check(second != null && boxes.Count == 2 && boxes[1] == "ECFopen -> TALMA:  ERRO - N\u00C3O FOI DADO ECFClose",
                  "second open refused with a Windows-1252 box");
            Check(ecf.Send("\u001B.28}").StartsWith(".+"), "the open session still works");
        }
        Operator.Reset();

        Console.WriteLine("csharp: " + passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
