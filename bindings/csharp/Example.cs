// The small program of every binding: open a session on COM1, send a status query,
// read the reply, close. Run it with a printer (or `moldrin sim`) on COM1.
using System;

static class Example
{
    static int Main()
    {
        Console.WriteLine("library: " + Moldrin.Session.Version());
        using (var ecf = new Moldrin.Session(1, 5))
        {
            Console.WriteLine("status 27 1: " + ecf.Send("\u001B.271}"));
            Console.WriteLine("traffic log: " + ecf.LogPath());
        }
        return 0;
    }
}
